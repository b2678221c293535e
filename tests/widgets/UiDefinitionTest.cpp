#include "tests/widgets/WidgetTestSupport.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <gtkmm/combobox.h>
#include <gtkmm/label.h>
#include <gtkmm/widget.h>
#include <gtkmm/window.h>

#include <memory>
#include <string>

namespace {

using tavisk::test::GLibWarningCapture;
using tavisk::test::loadUserInterface;

struct IdClass {
    const char* id;
    const char* gtkClass;
};

// Every id that the code binds, with the exact class that its lookup expects.
const IdClass boundIds[] = {
    {"MainWindow", "GtkWindow"},
    {"FirmwareMethodBox", "GtkBox"},
    {"MenuBar", "GtkMenuBar"},
    {"SelectFirmwareBox", "GtkBox"},
    {"ConnectionDialog", "GtkDialog"},
    {"OpenFileDialog", "GtkFileChooserDialog"},
    {"ListDeviceFrame", "GtkFrame"},
    {"LoadStatusBar", "GtkLevelBar"},
    {"LoadStatusOverlayLabel", "GtkLabel"},
    {"AppStatusbar", "GtkStatusbar"},
    {"TypeConnectionLable", "GtkLabel"},
    {"CurrentTypeConnectionLable", "GtkLabel"},
    {"PortLabel", "GtkLabel"},
    {"BaudrateLabel", "GtkLabel"},
    {"ConnectionLabel", "GtkLabel"},
    {"ProtocolLabel", "GtkLabel"},
    {"ConnectionPortPage", "GtkLabel"},
    {"DialogConnectButton", "GtkButton"},
    {"DialogCloseButton", "GtkButton"},
    {"ResetSearchPortsButton", "GtkButton"},
    {"TypeConnectionComboBoxText", "GtkComboBoxText"},
    {"PortsListComboTextBox", "GtkComboBoxText"},
    {"BaudratesListComboTextBox", "GtkComboBoxText"},
    {"ProtocolTypeComboBoxText", "GtkComboBoxText"},
    {"SerialNotebook", "GtkNotebook"},
    {"ConnectionMenuItem", "GtkMenuItem"},
    {"ConnectImageMenuItem", "GtkImageMenuItem"},
    {"DisconnectImageMenuItem", "GtkImageMenuItem"},
    {"QuitImageMenuItem", "GtkImageMenuItem"},
    {"FirmwareMethodComboBoxText", "GtkComboBoxText"},
    {"FirmwareMethodLable", "GtkLabel"},
    {"UploadButton", "GtkButton"},
    {"FirmwareSourceModeSwitch", "GtkSwitch"},
    {"FirmwareSourceModeSwitchLabel", "GtkLabel"},
    {"SelectFirmwareBoxEsp32", "GtkBox"},
    {"SelectFirmwareBoxStm32", "GtkBox"},
    {"SelectFirmwareBoxEsp32Label", "GtkLabel"},
    {"SelectFirmwareBoxStm32Label", "GtkLabel"},
    {"SelectFirmwareEsp32Button", "GtkButton"},
    {"SelectFirmwareStm32Button", "GtkButton"},
    {"SelectFirmwareSearchEntryEsp32", "GtkSearchEntry"},
    {"SelectFirmwareSearchEntryStm32", "GtkSearchEntry"},
    {"SelectFirmwareLabel", "GtkLabel"},
    {"SearchDeviceButton", "GtkButton"},
    {"DeviceListLable", "GtkLabel"},
    {"ListDeviceListBox", "GtkListBox"},
    // Carried by the definition, looked up by no code.
    {"ListDeviceBox", "GtkBox"},
    {"FirmwareSourceModeBox", "GtkBox"},
    {"SelectFirmwareBoxEsp32Row", "GtkBox"},
    {"SelectFirmwareBoxStm32Row", "GtkBox"},
    {"LoadStatusOverlay", "GtkOverlay"},
};

// The GTK class of an object; gtkmm's builder makes its own subclasses named after it.
std::string gtkClassOf(GObject* object) {
    GType type = G_OBJECT_TYPE(object);
    while (std::string(g_type_name(type)).rfind("gtkmm__", 0) == 0)
        type = g_type_parent(type);
    return g_type_name(type);
}

class UiDefinition : public ::testing::Test {
protected:
    void SetUp() override {
        warnings = std::make_unique<GLibWarningCapture>();
        builder = loadUserInterface();
        ASSERT_TRUE(builder);
    }

    void TearDown() override {
        // Top-level windows outlive the builder until destroyed.
        for (const char* id : {"MainWindow", "ConnectionDialog", "OpenFileDialog"})
            if (GObject* object = gtk_builder_get_object(builder->gobj(), id))
                gtk_widget_destroy(GTK_WIDGET(object));
    }

    GtkWidget* widget(const char* id) {
        GObject* object = gtk_builder_get_object(builder->gobj(), id);
        return object ? GTK_WIDGET(object) : nullptr;
    }

    std::unique_ptr<GLibWarningCapture> warnings;
    Glib::RefPtr<Gtk::Builder> builder;
};

TEST_F(UiDefinition, LoadsWithoutWarnings) {
    EXPECT_TRUE(warnings->messages().empty()) << warnings->messages().front();
}

TEST_F(UiDefinition, EveryIdHasItsExactClass) {
    for (const IdClass& entry : boundIds) {
        GObject* object = gtk_builder_get_object(builder->gobj(), entry.id);
        ASSERT_NE(object, nullptr) << entry.id;
        EXPECT_EQ(gtkClassOf(object), entry.gtkClass) << entry.id;
    }
}

TEST_F(UiDefinition, TopLevelsStartHidden) {
    GSList* objects = gtk_builder_get_objects(builder->gobj());
    int topLevels = 0;
    for (GSList* item = objects; item; item = item->next) {
        if (!GTK_IS_WIDGET(item->data) || gtk_widget_get_parent(GTK_WIDGET(item->data)) != nullptr)
            continue;
        if (GTK_IS_MENU(item->data))
            continue; // a submenu hangs off its item, not off a parent container
        ++topLevels;
        EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(item->data))) << G_OBJECT_TYPE_NAME(item->data);
    }
    g_slist_free(objects);
    EXPECT_EQ(topLevels, 3);
}

// The connection-type row and the protocol frame are filled by the dialog but never shown.
TEST_F(UiDefinition, HiddenRowAndFrameStayHiddenWhenTheDialogIsShown) {
    GtkWidget* dialog = widget("ConnectionDialog");
    gtk_widget_show(dialog);
    tavisk::test::pumpEvents();
    GtkWidget* typeRow = gtk_widget_get_parent(widget("TypeConnectionLable"));
    GtkWidget* protocolFrame = gtk_widget_get_parent(widget("ProtocolLabel"));
    ASSERT_TRUE(GTK_IS_BOX(typeRow));
    ASSERT_TRUE(GTK_IS_FRAME(protocolFrame));
    EXPECT_FALSE(gtk_widget_get_visible(typeRow));
    EXPECT_FALSE(gtk_widget_get_visible(protocolFrame));
    EXPECT_FALSE(gtk_widget_is_drawable(widget("ProtocolTypeComboBoxText")));
    EXPECT_TRUE(gtk_widget_is_drawable(widget("PortsListComboTextBox")));
    EXPECT_TRUE(gtk_widget_is_drawable(widget("DialogConnectButton")));
}

TEST_F(UiDefinition, CarriesNoEntriesTitlesOrResponses) {
    GtkWidget* targets = widget("FirmwareMethodComboBoxText");
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(targets)), -1) << "no entry to select yet";
    for (const char* id : {"MainWindow", "ConnectionDialog", "OpenFileDialog"})
        EXPECT_EQ(gtk_window_get_title(GTK_WINDOW(widget(id))), nullptr) << id;
    GtkWidget* fileChooser = widget("OpenFileDialog");
    EXPECT_EQ(gtk_dialog_get_widget_for_response(GTK_DIALOG(fileChooser), GTK_RESPONSE_OK), nullptr);
    EXPECT_EQ(gtk_dialog_get_widget_for_response(GTK_DIALOG(fileChooser), GTK_RESPONSE_CANCEL), nullptr);
    EXPECT_STREQ(gtk_label_get_label(GTK_LABEL(widget("LoadStatusOverlayLabel"))), "0%");
    EXPECT_DOUBLE_EQ(gtk_level_bar_get_max_value(GTK_LEVEL_BAR(widget("LoadStatusBar"))), 100.0);
}

} // namespace
