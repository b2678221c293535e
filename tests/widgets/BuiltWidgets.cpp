#include "tests/widgets/BuiltWidgets.h"

#include "tests/widgets/WidgetTestSupport.h"

namespace tavisk::test {

BuiltWidgets::BuiltWidgets() : builder(loadUserInterface()) {
    builder->get_widget("MainWindow", mainWindow);
    bind(builder);
    deviceListBox->deviceHandler = &deviceModel;
}

BuiltWidgets::~BuiltWidgets() {
    // As the main window does: the derived widgets are ours to delete, then the window.
    release();
    delete mainWindow;
    pumpEvents();
}

} // namespace tavisk::test
