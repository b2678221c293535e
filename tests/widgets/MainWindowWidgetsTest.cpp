// The main window's binding with a definition whose ids name objects of other classes: the
// pointers stay null, nothing is wrapped as a class it is not.
#include "widgets/MainWindowWidgets.h"
#include "tests/widgets/WidgetTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tavisk::test::GLibWarningCapture;

TEST(MainWindowWidgets, IdsOfObjectsOfAnotherClassStayUnbound) {
    const auto builder = Gtk::Builder::create_from_string(R"(<interface>
      <object class="GtkLabel" id="FirmwareMethodBox"/>
      <object class="GtkBox" id="MenuBar"/>
      <object class="GtkLabel" id="ListDeviceFrame"/>
      <object class="GtkWindow" id="ConnectionDialog"/>
      <object class="GtkBox" id="LoadStatusBar"/>
    </interface>)");
    GLibWarningCapture warnings;
    TaviskBiaconWidgets::MainWindowWidgets widgets;
    widgets.bind(builder);
    EXPECT_EQ(widgets.firmwareMethodBox, nullptr);
    EXPECT_EQ(widgets.menuBar, nullptr);
    EXPECT_EQ(widgets.deviceListBox, nullptr);
    EXPECT_EQ(widgets.connectionDialog, nullptr);
    EXPECT_EQ(widgets.loadStatusBar, nullptr);
    // Missing ids are null too.
    EXPECT_EQ(widgets.selectFirmwareBox, nullptr);
    EXPECT_EQ(widgets.openFileDialog, nullptr);
    std::string all;
    for (const std::string& message : warnings.messages())
        all += message + "\n";
    EXPECT_NE(all.find("object \"FirmwareMethodBox\" is a"), std::string::npos) << all;
    EXPECT_NE(all.find("object \"ListDeviceFrame\" is a"), std::string::npos) << all;
    // Nothing bound, nothing to delete; and relabelling skips what is missing.
    widgets.relabelAll();
    widgets.release();
}

} // namespace
