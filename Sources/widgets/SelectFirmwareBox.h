#pragma once

#include "core/FirmwareCopies.h"
#include "core/GlobalHandlerEvents.h"
#include "core/LoggerManager.h"
#include "link/FirmwareTarget.h"
#include "widgets/BilingualLabels.h"

#include <gtkmm/box.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/label.h>
#include <gtkmm/searchentry.h>
#include <gtkmm/switch.h>

#include <cstdint>
#include <string>

namespace TaviskBiaconWidgets {

// Which image an upload sends: for each processor a file that the user picked, or (with the
// switch on) a copy of the image that the program carries, written under the temporary folder.
class SelectFirmwareBox : public Gtk::Box {
public:
    using FirmwareTarget = ::FirmwareTarget;
    enum SelectFirmwareText {
        PREINSTALLED_SWITCH_LABEL = 0,
        ESP32_PATH_LABEL = 1,
        STM32_PATH_LABEL = 2,
        SEARCH_BUTTON = 3,
        FRAME_LABEL = 4,
    };

    SelectFirmwareBox(GtkBox* cobject, const Glib::RefPtr<Gtk::Builder>& builder);
    ~SelectFirmwareBox() override;

    void redefinitionLabeles();
    void updateFirmwareSourceModeUi();
    void updateDisplayedPath(const std::string& path, HandlersFuncKeys key);
    // A file chosen by the user for the processor that `key` names (SEARCH_FILE_ESP32 or
    // SEARCH_FILE_STM32); ignored in preinstalled mode.
    void setFilePath(std::string& path, HandlersFuncKeys& key);
    // The image of the current target in the current mode; empty when there is none. In
    // preinstalled mode the copy is checked (and written again when missing or changed) at
    // each call, that is at each upload.
    std::string getFilePath();

    void esp32Active();
    void stm32Active();
    void esp32Inactive();
    void stm32Inactive();
    // The window's choice of target: the other target's row off, this one's on. The box is
    // the one holder of the target; an upload asks it.
    void selectTarget(FirmwareTarget target);
    FirmwareTarget target() const { return currentTarget; }

    // Writes the target's preinstalled copy when it is missing, differs from the carried image
    // or may not be trusted (FirmwareCopies); its path in UTF-8, or empty when no complete copy
    // could be written.
    std::string ensurePreinstalledFirmwareOnDisk(FirmwareTarget target);

private:
    void definitionDefaultValues();
    void onSourceModeChanged();
    void activate(FirmwareTarget target);
    void onSearchFile(HandlersFuncKeys key, const char* target);
    void setRowSensitive(Glib::RefPtr<Gtk::Button>& button, Glib::RefPtr<Gtk::SearchEntry>& entry,
                         bool sensitive);
    std::string& preinstalledPath(FirmwareTarget target);

    BilingualLabels<SelectFirmwareText> texts;
    Glib::RefPtr<Gtk::Builder> builder;
    Glib::RefPtr<Gtk::Switch> sourceModeSwitch;
    Glib::RefPtr<Gtk::Label> sourceModeSwitchLabel;
    Glib::RefPtr<Gtk::Box> esp32Box;
    Glib::RefPtr<Gtk::Box> stm32Box;
    Glib::RefPtr<Gtk::Label> esp32Label;
    Glib::RefPtr<Gtk::Button> esp32Button;
    Glib::RefPtr<Gtk::SearchEntry> esp32Entry;
    Glib::RefPtr<Gtk::Label> stm32Label;
    Glib::RefPtr<Gtk::Button> stm32Button;
    Glib::RefPtr<Gtk::SearchEntry> stm32Entry;
    Glib::RefPtr<Gtk::Label> frameLabel;
    Glib::RefPtr<Gtk::Button> uploadButton;

    // All of the box, its paths included, is used on the GUI thread only: the upload takes its
    // path there, when it starts, and reads the image at once.
    std::string filePath;
    std::string esp32FilePath;
    std::string stm32FilePath;
    std::string esp32PreinstalledPath;
    std::string stm32PreinstalledPath;
    FirmwareTarget currentTarget = FirmwareTarget::STM32;
    bool usePreinstalled = false;

    // The preinstalled copies on disk.
    FirmwareCopies copies;

    bool esp32Enabled = true;
    bool stm32Enabled = true;
    LoggerManager* logger;
};

} // namespace TaviskBiaconWidgets
