#pragma once

#include "core/FirmwareCopies.h"
#include "core/GlobalHandlerEvents.h"
#include "core/LoggerManager.h"
#include "widgets/BilingualLabels.h"

#include <gtkmm/box.h>
#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/label.h>
#include <gtkmm/searchentry.h>
#include <gtkmm/switch.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace TaviskBiaconWidgets {

// Which image an upload sends: for each processor a file that the user picked, or (with the
// switch on) a copy of the image that the program carries, written under the temporary folder.
class SelectFirmwareBox : public Gtk::Box {
public:
    enum FirmwareTarget : std::int32_t { STM32 = 0, ESP32 = 1 };
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
    // The image of the current target in the current mode; empty when there is none. Safe
    // to call from any thread (the listener takes it for an STM32 upload): it returns a copy.
    std::string getFilePath();

    void esp32Active();
    void stm32Active();
    void esp32Inactive();
    void stm32Inactive();

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
    // Caller holds pathsMutex.
    std::string& preinstalledPathLocked(FirmwareTarget target);

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

    // Guards the paths, the target and the mode: the GUI thread changes them while the
    // listener thread may be taking the upload path. Never held while touching GTK.
    std::mutex pathsMutex;
    std::string filePath;
    std::string esp32FilePath;
    std::string stm32FilePath;
    std::string esp32PreinstalledPath;
    std::string stm32PreinstalledPath;
    FirmwareTarget currentTarget = STM32;
    bool usePreinstalled = false;

    // The preinstalled copies on disk; called under pathsMutex.
    FirmwareCopies copies;

    // GUI thread only.
    bool esp32Enabled = true;
    bool stm32Enabled = true;
    LoggerManager* logger;
};

} // namespace TaviskBiaconWidgets
