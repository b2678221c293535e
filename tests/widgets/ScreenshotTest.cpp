// Writes pictures of the main window and the connection dialog in both languages to the
// build folder, for a person to look at (they are not compared with anything).
#include "link/UsbCommunication.h"
#include "tests/support/FakeSerialPort.h"
#include "tests/widgets/BuiltWidgets.h"
#include "tests/widgets/WidgetTestSupport.h"

#include <cairo.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <string>

namespace {

using tavisk::test::BuiltWidgets;

// Draws the window's widget tree into an image and writes it as PNG; the path, or empty.
std::string writePicture(Gtk::Window& window, const std::string& name) {
    tavisk::test::runUntil([&] { return window.get_mapped(); });
    tavisk::test::pumpEvents();
    const int width = window.get_allocated_width();
    const int height = window.get_allocated_height();
    if (width <= 1 || height <= 1)
        return {};
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(surface);
    gtk_widget_draw(GTK_WIDGET(window.gobj()), cr);
    cairo_destroy(cr);
    const std::filesystem::path folder(TAVISK_SCREENSHOT_DIR);
    std::filesystem::create_directories(folder);
    const std::string path = (folder / (name + ".png")).string();
    const cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
    cairo_surface_destroy(surface);
    return status == CAIRO_STATUS_SUCCESS ? path : std::string();
}

TEST(Screenshots, MainWindowAndConnectionDialogInBothLanguages) {
    auto owned = std::make_unique<tavisk::test::FakeSerialPort>();
    owned->ports = {"/dev/ttyUSB0", "/dev/ttyACM1"};
    UsbCommunication link(std::move(owned));
    BuiltWidgets widgets;
    // As the main window sets itself up.
    widgets.selectFirmwareBox->esp32Inactive();
    widgets.selectFirmwareBox->stm32Active();
    widgets.deviceListBox->addToList("Beacon 2.13");
    widgets.mainWindow->set_title("TaviskBeaconUtility");
    widgets.mainWindow->set_default_size(500, 550);
    widgets.mainWindow->show();
    widgets.connectionDialog->setUsbConnetctionPtr(link);
    widgets.connectionDialog->setOwner(widgets.mainWindow);
    widgets.connectionDialog->show();

    for (const char* language : {"ru", "en"}) {
        for (auto [window, name] : {std::pair<Gtk::Window*, const char*>{widgets.mainWindow, "main-window"},
                                    {widgets.connectionDialog, "connection-dialog"}}) {
            const std::string path = writePicture(*window, std::string(name) + "-" + language);
            ASSERT_FALSE(path.empty()) << name << " " << language;
            EXPECT_GT(std::filesystem::file_size(path), 1000u) << path;
        }
        widgets.relabelAll();
    }
}

} // namespace
