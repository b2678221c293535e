#include "BuiltWidgets.h"

#include "WidgetTestSupport.h"

namespace tavisk::test {

BuiltWidgets::BuiltWidgets() : builder(loadUserInterface()) {
    builder->get_widget("MainWindow", mainWindow);
    builder->get_widget_derived("FirmwareMethodBox", firmwareMethodBox);
    builder->get_widget_derived("MenuBar", menuBar);
    builder->get_widget_derived("SelectFirmwareBox", selectFirmwareBox);
    builder->get_widget_derived("OpenFileDialog", openFileDialog);
}

BuiltWidgets::~BuiltWidgets() {
    delete openFileDialog;
    // The window's children, the derived boxes and the menu bar among them, go with it.
    delete mainWindow;
    pumpEvents();
}

void BuiltWidgets::relabelAll() {
    firmwareMethodBox->redefinitionLabeles();
    menuBar->redefinitionLabeles();
    selectFirmwareBox->redefinitionLabeles();
    openFileDialog->redefinitionLabeles();
}

} // namespace tavisk::test
