#include "widgets/SelectFirmwareBox.h"

#include "core/PrivateFolder.h"
#include "platform/EmbeddedResource.h"

#include <glibmm/miscutils.h>

#include <filesystem>

namespace TaviskBiaconWidgets {

namespace {

const std::string logPrefix = "SelectFirmwareBox: ";

const char* const esp32Resource = "/taviskbeaconutility/firmware/tavisk_firmware.bin";
const char* const stm32Resource = "/taviskbeaconutility/firmware/Halvin_2.13.319.f75a0c3_aes.bin";
const char* const esp32CopyName = "tavisk_firmware.bin";
const char* const stm32CopyName = "Halvin_2.13.319.f75a0c3_aes.bin";

} // namespace

SelectFirmwareBox::SelectFirmwareBox(GtkBox* cobject, const Glib::RefPtr<Gtk::Builder>& builder)
    : Glib::ObjectBase("SFBoxTB"), Gtk::Box(cobject),
      texts(
          {
              {PREINSTALLED_SWITCH_LABEL, "Использовать предустановленную прошивку"},
              {ESP32_PATH_LABEL, "Путь для прошивки ESP32"},
              {STM32_PATH_LABEL, "Путь для прошивки STM32"},
              {SEARCH_BUTTON, "Поиск"},
              {FRAME_LABEL, "Загрузка прошивки"},
          },
          {
              {PREINSTALLED_SWITCH_LABEL, "Use preinstalled firmware"},
              {ESP32_PATH_LABEL, "Firmware path for ESP32"},
              {STM32_PATH_LABEL, "Firmware path for STM32"},
              {SEARCH_BUTTON, "Search"},
              {FRAME_LABEL, "Upload firmware"},
          }),
      builder(builder), copies(programTemporaryFolder(), logPrefix, readEmbeddedResource),
      logger(&LoggerManager::getInstance()) {
    logger->log("Constructor", BaseLogger::DEBUG, logPrefix);
    sourceModeSwitch = findChild<Gtk::Switch>(builder, "FirmwareSourceModeSwitch");
    sourceModeSwitchLabel = findChild<Gtk::Label>(builder, "FirmwareSourceModeSwitchLabel");
    esp32Box = findChild<Gtk::Box>(builder, "SelectFirmwareBoxEsp32");
    stm32Box = findChild<Gtk::Box>(builder, "SelectFirmwareBoxStm32");
    esp32Label = findChild<Gtk::Label>(builder, "SelectFirmwareBoxEsp32Label");
    stm32Label = findChild<Gtk::Label>(builder, "SelectFirmwareBoxStm32Label");
    esp32Button = findChild<Gtk::Button>(builder, "SelectFirmwareEsp32Button");
    stm32Button = findChild<Gtk::Button>(builder, "SelectFirmwareStm32Button");
    esp32Entry = findChild<Gtk::SearchEntry>(builder, "SelectFirmwareSearchEntryEsp32");
    stm32Entry = findChild<Gtk::SearchEntry>(builder, "SelectFirmwareSearchEntryStm32");
    frameLabel = findChild<Gtk::Label>(builder, "SelectFirmwareLabel");
    uploadButton = findChild<Gtk::Button>(builder, "UploadButton");
    definitionDefaultValues();
}

SelectFirmwareBox::~SelectFirmwareBox() = default;

void SelectFirmwareBox::definitionDefaultValues() {
    logger->log("Definition default values", BaseLogger::DEBUG, logPrefix);
    redefinitionLabeles();
    if (sourceModeSwitch)
        sourceModeSwitch->property_active().signal_changed().connect(
            sigc::mem_fun(*this, &SelectFirmwareBox::onSourceModeChanged));
    if (stm32Button)
        stm32Button->signal_clicked().connect(
            sigc::bind(sigc::mem_fun(*this, &SelectFirmwareBox::onSearchFile), SEARCH_FILE_STM32, "STM32"));
    if (esp32Button)
        esp32Button->signal_clicked().connect(
            sigc::bind(sigc::mem_fun(*this, &SelectFirmwareBox::onSearchFile), SEARCH_FILE_ESP32, "ESP32"));
    updateFirmwareSourceModeUi();
}

void SelectFirmwareBox::redefinitionLabeles() {
    logger->log("Redefinition labeles", BaseLogger::DEBUG, logPrefix);
    texts.switchLanguage();
    const std::pair<Gtk::Label*, SelectFirmwareText> labels[] = {
        {esp32Label.get(), ESP32_PATH_LABEL},
        {stm32Label.get(), STM32_PATH_LABEL},
    };
    for (const auto& [label, key] : labels)
        if (label)
            label->set_label(texts.text(key));
    for (Gtk::Button* button : {esp32Button.get(), stm32Button.get()})
        if (button)
            button->set_label(texts.text(SEARCH_BUTTON));
    if (frameLabel)
        frameLabel->set_label(texts.text(FRAME_LABEL));
    if (sourceModeSwitchLabel)
        sourceModeSwitchLabel->set_label(texts.text(PREINSTALLED_SWITCH_LABEL));
}

void SelectFirmwareBox::onSourceModeChanged() {
    usePreinstalled = sourceModeSwitch->get_active();
    updateFirmwareSourceModeUi();
}

void SelectFirmwareBox::onSearchFile(HandlersFuncKeys key, const char* target) {
    // The key's handler runs the file chooser and calls setFilePath before it returns.
    if (GlobalHandlerEvents::getInstance()._executeHandler(key) == GlobalHandlerEvents::FAILURE)
        logger->log(std::string("Error with Open File for ") + target + "!", BaseLogger::ERROR, logPrefix);
    else
        logger->log(std::string("Open File for ") + target + " is success!", BaseLogger::INFO, logPrefix);
}

std::string& SelectFirmwareBox::preinstalledPath(FirmwareTarget target) {
    return target == FirmwareTarget::ESP32 ? esp32PreinstalledPath : stm32PreinstalledPath;
}

void SelectFirmwareBox::setRowSensitive(Glib::RefPtr<Gtk::Button>& button,
                                        Glib::RefPtr<Gtk::SearchEntry>& entry, bool sensitive) {
    if (button)
        button->set_sensitive(sensitive);
    if (entry)
        entry->set_sensitive(sensitive);
}

void SelectFirmwareBox::updateFirmwareSourceModeUi() {
    if (usePreinstalled) {
        // Both copies on the first visit to this mode, whatever the target.
        for (FirmwareTarget target : {FirmwareTarget::ESP32, FirmwareTarget::STM32}) {
            std::string& copy = preinstalledPath(target);
            if (copy.empty())
                copy = ensurePreinstalledFirmwareOnDisk(target);
        }
    }
    const std::string& esp32Shown = usePreinstalled ? esp32PreinstalledPath : esp32FilePath;
    const std::string& stm32Shown = usePreinstalled ? stm32PreinstalledPath : stm32FilePath;
    filePath = currentTarget == FirmwareTarget::ESP32 ? esp32Shown : stm32Shown;
    updateDisplayedPath(esp32Shown, SEARCH_FILE_ESP32);
    updateDisplayedPath(stm32Shown, SEARCH_FILE_STM32);
    if (usePreinstalled) {
        setRowSensitive(esp32Button, esp32Entry, false);
        setRowSensitive(stm32Button, stm32Entry, false);
    } else {
        if (esp32Button && esp32Entry)
            setRowSensitive(esp32Button, esp32Entry, esp32Enabled);
        if (stm32Button && stm32Entry)
            setRowSensitive(stm32Button, stm32Entry, stm32Enabled);
    }
    if (uploadButton)
        uploadButton->set_sensitive(!usePreinstalled || !filePath.empty());
}

void SelectFirmwareBox::updateDisplayedPath(const std::string& path, HandlersFuncKeys key) {
    Gtk::SearchEntry* entry = key == SEARCH_FILE_ESP32   ? esp32Entry.get()
                              : key == SEARCH_FILE_STM32 ? stm32Entry.get()
                                                         : nullptr;
    if (!entry)
        return;
    entry->set_text(Glib::path_get_basename(path));
    entry->set_tooltip_text(path);
}

void SelectFirmwareBox::setFilePath(std::string& path, HandlersFuncKeys& key) {
    if ((key != SEARCH_FILE_ESP32 && key != SEARCH_FILE_STM32) || usePreinstalled)
        return;
    const bool esp32 = key == SEARCH_FILE_ESP32;
    (esp32 ? esp32FilePath : stm32FilePath) = path;
    if (currentTarget == (esp32 ? FirmwareTarget::ESP32 : FirmwareTarget::STM32))
        filePath = path;
    updateDisplayedPath(path, key);
}

std::string SelectFirmwareBox::getFilePath() {
    if (!usePreinstalled) {
        filePath = currentTarget == FirmwareTarget::ESP32 ? esp32FilePath : stm32FilePath;
    } else {
        // Checked at every upload: a copy removed or changed since the last one is written
        // again, so what is sent is the carried image.
        std::string& copy = preinstalledPath(currentTarget);
        copy = ensurePreinstalledFirmwareOnDisk(currentTarget);
        filePath = copy;
    }
    return filePath;
}

void SelectFirmwareBox::esp32Active() {
    activate(FirmwareTarget::ESP32);
}
void SelectFirmwareBox::stm32Active() {
    activate(FirmwareTarget::STM32);
}

void SelectFirmwareBox::activate(FirmwareTarget target) {
    currentTarget = target;
    const bool esp32 = target == FirmwareTarget::ESP32;
    (esp32 ? esp32Enabled : stm32Enabled) = true;
    if (!usePreinstalled)
        setRowSensitive(esp32 ? esp32Button : stm32Button, esp32 ? esp32Entry : stm32Entry, true);
    updateFirmwareSourceModeUi();
}

void SelectFirmwareBox::selectTarget(FirmwareTarget target) {
    if (target == FirmwareTarget::ESP32) {
        stm32Inactive();
        esp32Active();
    } else {
        esp32Inactive();
        stm32Active();
    }
}

void SelectFirmwareBox::esp32Inactive() {
    esp32Enabled = false;
    setRowSensitive(esp32Button, esp32Entry, false);
}

void SelectFirmwareBox::stm32Inactive() {
    stm32Enabled = false;
    setRowSensitive(stm32Button, stm32Entry, false);
}

std::string SelectFirmwareBox::ensurePreinstalledFirmwareOnDisk(FirmwareTarget target) {
    return target == FirmwareTarget::ESP32 ? copies.ensure(esp32Resource, esp32CopyName)
                                           : copies.ensure(stm32Resource, stm32CopyName);
}

} // namespace TaviskBiaconWidgets
