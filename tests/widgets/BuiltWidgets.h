#pragma once

#include "link/DeviceHandler.h"
#include "widgets/ConnectionDialog.h"
#include "widgets/DeviceListBox.h"
#include "widgets/FirmwareMethodBox.h"
#include "widgets/MainWindowWidgets.h"
#include "widgets/MenuBar.h"
#include "widgets/OpenFileDialog.h"
#include "widgets/SelectFirmwareBox.h"

#include <gtkmm/builder.h>
#include <gtkmm/window.h>

namespace tavisk::test {

// The widgets bound by the main window's own binding from the repository's UI definition,
// with a plain window for "MainWindow" and a device model for the list. Destroys the
// top-level windows.
struct BuiltWidgets : TaviskBiaconWidgets::MainWindowWidgets {
    BuiltWidgets();
    ~BuiltWidgets();

    // The model that the device list empties and reads; outlives the widgets.
    DeviceHandler deviceModel;
    Glib::RefPtr<Gtk::Builder> builder;
    Gtk::Window* mainWindow = nullptr;
};

} // namespace tavisk::test
