#include "widgets/FirmwareMethodBox.h"

#include "core/GlobalHandlerEvents.h"

namespace TaviskBiaconWidgets {

namespace {
const std::string logPrefix = "FirmwareMethodBox: ";
}

FirmwareMethodBox::FirmwareMethodBox(GtkBox* cobject, const Glib::RefPtr<Gtk::Builder>& builder)
    : Glib::ObjectBase("FMBoxTB"), Gtk::Box(cobject),
      texts({{METHOD_LABEL, "Устройство для прошивки"}, {UPLOAD_BUTTON, "Загрузить"}},
            {{METHOD_LABEL, "Device for flashing"}, {UPLOAD_BUTTON, "Upload"}}),
      builder(builder), logger(&LoggerManager::getInstance()) {
    logger->log("Constructor", BaseLogger::DEBUG, logPrefix);
    methodComboBox = findChild<Gtk::ComboBoxText>(builder, "FirmwareMethodComboBoxText");
    methodLabel = findChild<Gtk::Label>(builder, "FirmwareMethodLable");
    uploadButton = findChild<Gtk::Button>(builder, "UploadButton");
    definitionDefaultValues();
}

FirmwareMethodBox::~FirmwareMethodBox() = default;

void FirmwareMethodBox::definitionDefaultValues() {
    logger->log("Definition default values", BaseLogger::DEBUG, logPrefix);
    redefinitionLabeles();
    if (!methodComboBox)
        return;
    for (FirmwareTarget target : {FirmwareTarget::STM32, FirmwareTarget::ESP32})
        methodComboBox->append(firmwareTargetName(target));
    // Before the change signal is connected: building the box fires no key.
    methodComboBox->set_active(0);
    methodComboBox->signal_changed().connect(sigc::mem_fun(*this, &FirmwareMethodBox::setActiveMethod));
    if (uploadButton)
        uploadButton->signal_clicked().connect(sigc::mem_fun(*this, &FirmwareMethodBox::upload));
}

void FirmwareMethodBox::redefinitionLabeles() {
    logger->log("Redefinition labeles", BaseLogger::DEBUG, logPrefix);
    texts.switchLanguage();
    if (methodLabel)
        methodLabel->set_text(texts.text(METHOD_LABEL));
    if (uploadButton)
        uploadButton->set_label(texts.text(UPLOAD_BUTTON));
}

void FirmwareMethodBox::setActiveMethod() {
    if (!methodComboBox)
        return;
    const std::string active = methodComboBox->get_active_text();
    if (active == firmwareTargetName(FirmwareTarget::STM32))
        GlobalHandlerEvents::getInstance()._executeHandler(SELECT_STM32);
    else if (active == firmwareTargetName(FirmwareTarget::ESP32))
        GlobalHandlerEvents::getInstance()._executeHandler(SELECT_ESP32);
}

void FirmwareMethodBox::upload() {
    GlobalHandlerEvents::getInstance()._executeHandlerWithArgs(UPLOAD_FIRMWARE, LoadStage::START_UPLOAD);
}

} // namespace TaviskBiaconWidgets
