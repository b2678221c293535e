#pragma once

#include "ConnectionDialog.h"
#include "DeviceHandler.h"
#include "DeviceListBox.h"
#include "FirmwareMethodBox.h"
#include "MenuBar.h"
#include "OpenFileDialog.h"
#include "SelectFirmwareBox.h"

#include <gtkmm/builder.h>
#include <gtkmm/window.h>

namespace tavisk::test {

// The widgets as the main window builds them: one builder over the UI definition, each
// widget through the builder's derived-widget lookup. Destroys the top-level windows.
struct BuiltWidgets {
    BuiltWidgets();
    ~BuiltWidgets();
    BuiltWidgets(const BuiltWidgets&) = delete;
    BuiltWidgets& operator=(const BuiltWidgets&) = delete;

    // What the main window's SWITCH_LANG handler does.
    void relabelAll();

    // The model that the device list empties and reads; outlives the widgets.
    DeviceHandler deviceModel;
    Glib::RefPtr<Gtk::Builder> builder;
    Gtk::Window* mainWindow = nullptr;
    TaviskBiaconWidgets::FirmwareMethodBox* firmwareMethodBox = nullptr;
    TaviskBiaconWidgets::MenuBar* menuBar = nullptr;
    TaviskBiaconWidgets::SelectFirmwareBox* selectFirmwareBox = nullptr;
    TaviskBiaconWidgets::OpenFileDialog* openFileDialog = nullptr;
    TaviskBiaconWidgets::ConnectionDialog* connectionDialog = nullptr;
    TaviskBiaconWidgets::DeviceListBox* deviceListBox = nullptr;
};

} // namespace tavisk::test
