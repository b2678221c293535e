#pragma once

#include <gtkmm/builder.h>
#include <gtkmm/label.h>
#include <gtkmm/levelbar.h>
#include <gtkmm/statusbar.h>

namespace TaviskBiaconWidgets {

class ConnectionDialog;
class DeviceListBox;
class FirmwareMethodBox;
class MenuBar;
class OpenFileDialog;
class SelectFirmwareBox;

// The widgets of the main window and its dialogs, bound by id from the window's UI definition:
// the six derived widgets (each constructor runs on binding) and three plain ones. A pointer
// stays null when its id is missing or names an object of another class. The derived widgets
// and the level bar are deleted by release() (gtkmm does not delete builder-derived widgets
// with their container), before the window itself goes. GUI thread only.
class MainWindowWidgets {
public:
    MainWindowWidgets() = default;
    ~MainWindowWidgets();
    MainWindowWidgets(const MainWindowWidgets&) = delete;
    MainWindowWidgets& operator=(const MainWindowWidgets&) = delete;

    void bind(const Glib::RefPtr<Gtk::Builder>& builder);
    // Deletes what bind() made; the pointers become null.
    void release();
    // Flips every widget to its other language (the main window's SWITCH_LANG).
    void relabelAll();
    // What would start another job on the line while one runs: the target and firmware
    // choice with the Upload button, the device search, and Connect and Disconnect.
    void setJobControlsSensitive(bool sensitive);

    FirmwareMethodBox* firmwareMethodBox = nullptr;
    MenuBar* menuBar = nullptr;
    SelectFirmwareBox* selectFirmwareBox = nullptr;
    ConnectionDialog* connectionDialog = nullptr;
    OpenFileDialog* openFileDialog = nullptr;
    DeviceListBox* deviceListBox = nullptr;
    Gtk::LevelBar* loadStatusBar = nullptr; // "LoadStatusBar"
    Gtk::Label* loadStatusLabel = nullptr;  // "LoadStatusOverlayLabel"; not deleted
    Gtk::Statusbar* appStatusbar = nullptr; // "AppStatusbar"; not deleted
};

} // namespace TaviskBiaconWidgets
