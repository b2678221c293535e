#include "BuiltWidgets.h"

#include "WidgetTestSupport.h"

namespace tavisk::test {

BuiltWidgets::BuiltWidgets() : builder(loadUserInterface()) {
    builder->get_widget("MainWindow", mainWindow);
    builder->get_widget_derived("FirmwareMethodBox", firmwareMethodBox);
    builder->get_widget_derived("MenuBar", menuBar);
    builder->get_widget_derived("SelectFirmwareBox", selectFirmwareBox);
    builder->get_widget_derived("OpenFileDialog", openFileDialog);
    builder->get_widget_derived("ConnectionDialog", connectionDialog);
    builder->get_widget_derived("ListDeviceFrame", deviceListBox);
    deviceListBox->deviceHandler = &deviceModel;
}

BuiltWidgets::~BuiltWidgets() {
    // As the main window does: the derived widgets are ours to delete, then the window.
    delete deviceListBox;
    delete connectionDialog;
    delete openFileDialog;
    delete selectFirmwareBox;
    delete menuBar;
    delete firmwareMethodBox;
    delete mainWindow;
    pumpEvents();
}

void BuiltWidgets::relabelAll() {
    firmwareMethodBox->redefinitionLabeles();
    menuBar->redefinitionLabeles();
    selectFirmwareBox->redefinitionLabeles();
    openFileDialog->redefinitionLabeles();
    connectionDialog->redefinitionLabeles();
    deviceListBox->redefinitionLabeles();
}

} // namespace tavisk::test
