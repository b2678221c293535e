#include "tests/support/LogCapture.h"
#include "tests/widgets/BuiltWidgets.h"
#include "tests/widgets/WidgetTestSupport.h"

#include <glibmm/miscutils.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>

namespace {

using tavisk::test::BuiltWidgets;

// Whether the filter takes a file of this name.
bool accepts(const Glib::RefPtr<Gtk::FileFilter>& filter, const char* name) {
    GtkFileFilterInfo info{};
    info.contains = GTK_FILE_FILTER_DISPLAY_NAME;
    info.display_name = name;
    return gtk_file_filter_filter(filter->gobj(), &info);
}

std::vector<std::string> filterNames(TaviskBiaconWidgets::OpenFileDialog& dialog) {
    std::vector<std::string> names;
    for (const auto& filter : dialog.list_filters())
        names.push_back(filter->get_name());
    return names;
}

TEST(OpenFileDialog, OpenThenCancelWithTheirResponses) {
    BuiltWidgets widgets;
    auto* actionArea = widgets.openFileDialog->get_action_area();
    std::vector<Gtk::Widget*> buttons = actionArea->get_children();
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(widgets.openFileDialog->get_response_for_widget(*buttons[0]), Gtk::RESPONSE_OK);
    EXPECT_EQ(widgets.openFileDialog->get_response_for_widget(*buttons[1]), Gtk::RESPONSE_CANCEL);
    EXPECT_EQ(dynamic_cast<Gtk::Button*>(buttons[0])->get_label(), "Открыть");
}

TEST(OpenFileDialog, MainWindowFiltersInOrderEachMatchingItsPattern) {
    BuiltWidgets widgets;
    widgets.openFileDialog->init({"Binar", "*.bin", "Hex", "*.hex", "All", "*.*"});
    const auto filters = widgets.openFileDialog->list_filters();
    EXPECT_EQ(filterNames(*widgets.openFileDialog),
              (std::vector<std::string>{"Binar Files (*.bin)", "Hex Files (*.hex)", "All Files (*.*)"}));
    ASSERT_EQ(filters.size(), 3u);
    EXPECT_TRUE(accepts(filters[0], "image.bin"));
    EXPECT_FALSE(accepts(filters[0], "image.hex"));
    EXPECT_TRUE(accepts(filters[1], "image.hex"));
    EXPECT_FALSE(accepts(filters[1], "image.bin"));
    EXPECT_TRUE(accepts(filters[2], "image.elf"));
}

TEST(OpenFileDialog, FilterListsOfOddOrNoLength) {
    struct Case {
        std::vector<std::string> list;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {{}, {}},
        {{"Binar"}, {}},
        {{"Binar", "*.bin", "Hex"}, {"Binar Files (*.bin)"}},
    };
    for (const Case& c : cases) {
        BuiltWidgets widgets;
        widgets.openFileDialog->init(c.list);
        EXPECT_EQ(filterNames(*widgets.openFileDialog), c.names) << c.list.size() << " entries";
    }
}

// The test process has no Desktop folder setting, so GLib falls back to the home folder's.
TEST(OpenFileDialog, StartsInTheDesktopFolder) {
    const std::filesystem::path desktop = std::filesystem::path(Glib::get_home_dir()) / "Desktop";
    std::filesystem::create_directories(desktop);
    BuiltWidgets widgets;
    // The chooser changes folder asynchronously.
    auto current = [&] {
        return std::filesystem::path(std::string(widgets.openFileDialog->get_current_folder()));
    };
    tavisk::test::runUntil([&] { return current() == desktop; });
    EXPECT_EQ(current(), desktop);
}

TEST(OpenFileDialog, SetOwnerMakesItTransient) {
    BuiltWidgets widgets;
    widgets.openFileDialog->setOwner(nullptr);
    EXPECT_EQ(widgets.openFileDialog->get_transient_for(), nullptr);
    widgets.openFileDialog->setOwner(widgets.mainWindow);
    EXPECT_EQ(widgets.openFileDialog->get_transient_for(), widgets.mainWindow);
}

} // namespace
