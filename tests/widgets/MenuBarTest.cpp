#include "tests/support/LogCapture.h"
#include "tests/widgets/BuiltWidgets.h"
#include "tests/widgets/WidgetTestSupport.h"

#include <glibmm/fileutils.h>
#include <gtest/gtest.h>
#include <gtkmm/imagemenuitem.h>

#include <optional>
#include <regex>

namespace {

using tavisk::test::BuiltWidgets;
using tavisk::test::FakeHandlers;
using tavisk::test::LogCapture;
using tavisk::test::LogLine;
using Status = GlobalHandlerEvents::HandlerEventsStatus;

struct ItemCase {
    const char* item;
    HandlersFuncKeys key;
    // None: no handler registered for the key. The registry keeps a handler for the life of
    // the process, so these cases hold when each test runs alone, as CTest runs them.
    std::optional<Status> answer;
    const char* firstLine;
    const char* resultLine; // empty: no further line
    BaseLogger::MessageType resultType;
};

std::ostream& operator<<(std::ostream& out, const ItemCase& c) {
    return out << c.item
               << (c.answer ? (*c.answer == GlobalHandlerEvents::SUCCESS ? " success" : " failure")
                            : " unregistered");
}

const ItemCase itemCases[] = {
    {"ConnectImageMenuItem", CONNECT_DIALOG_OPEN, GlobalHandlerEvents::SUCCESS, "Connection/Connect",
     "USB connection window open!", BaseLogger::DEBUG},
    {"ConnectImageMenuItem", CONNECT_DIALOG_OPEN, GlobalHandlerEvents::FAILURE, "Connection/Connect",
     "Error with USB connection window!", BaseLogger::ERROR},
    {"ConnectImageMenuItem", CONNECT_DIALOG_OPEN, std::nullopt, "Connection/Connect",
     "Error with USB connection window!", BaseLogger::ERROR},
    {"DisconnectImageMenuItem", DISCONNECT, GlobalHandlerEvents::SUCCESS, "Connection/Disconnect",
     "USB disconnection success!", BaseLogger::DEBUG},
    {"DisconnectImageMenuItem", DISCONNECT, GlobalHandlerEvents::FAILURE, "Connection/Disconnect",
     "Error with USB disconnection!", BaseLogger::ERROR},
    {"QuitImageMenuItem", QUIT_APP, GlobalHandlerEvents::SUCCESS, "Connection/Quit", "", BaseLogger::DEBUG},
    {"QuitImageMenuItem", QUIT_APP, GlobalHandlerEvents::FAILURE, "Connection/Quit", "Error with closing",
     BaseLogger::ERROR},
    {"QuitImageMenuItem", QUIT_APP, std::nullopt, "Connection/Quit", "Error with closing", BaseLogger::ERROR},
};

// The menu bar's own lines, in order, after the given index.
std::vector<LogLine> menuBarLines(const LogCapture& log) {
    std::vector<LogLine> lines;
    for (const LogLine& line : log.lines())
        if (line.text.rfind("MenuBar: ", 0) == 0)
            lines.push_back(line);
    return lines;
}

class MenuBarItems : public ::testing::TestWithParam<ItemCase> {};

TEST_P(MenuBarItems, ActivationFiresTheKeyAndLogsTheAnswer) {
    const ItemCase& c = GetParam();
    if (c.answer) {
        FakeHandlers::instance().registerKeys({c.key});
        FakeHandlers::instance().setResult(c.key, *c.answer);
    }
    BuiltWidgets widgets;
    LogCapture log;
    Glib::RefPtr<Gtk::ImageMenuItem>::cast_dynamic(widgets.builder->get_object(c.item))->activate();

    EXPECT_EQ(FakeHandlers::instance().fired(),
              c.answer ? std::vector<HandlersFuncKeys>{c.key} : std::vector<HandlersFuncKeys>{});
    const std::vector<LogLine> lines = menuBarLines(log);
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, std::string("MenuBar: ") + c.firstLine);
    EXPECT_EQ(lines[0].type, BaseLogger::DEBUG);
    if (*c.resultLine == '\0') {
        EXPECT_EQ(lines.size(), 1u);
    } else {
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1].text, std::string("MenuBar: ") + c.resultLine);
        EXPECT_EQ(lines[1].type, c.resultType);
    }
}

INSTANTIATE_TEST_SUITE_P(Items, MenuBarItems, ::testing::ValuesIn(itemCases));

TEST(MenuBar, ReplacesTheStockTextsAndUnderlinesMnemonics) {
    BuiltWidgets widgets;
    for (const char* id : {"ConnectImageMenuItem", "DisconnectImageMenuItem", "QuitImageMenuItem"}) {
        auto item = Glib::RefPtr<Gtk::ImageMenuItem>::cast_dynamic(widgets.builder->get_object(id));
        EXPECT_EQ(std::string(item->get_label()).find("gtk-"), std::string::npos) << id;
        EXPECT_TRUE(item->get_use_underline()) << id;
    }
}

// A definition without one item still gives a working menu bar; only that item is left alone.
TEST(MenuBar, MissingItemLeavesTheOthersWorking) {
    std::string definition = Glib::file_get_contents(TAVISK_UI_FILE);
    definition = std::regex_replace(definition, std::regex("id=\"ConnectImageMenuItem\""), "id=\"Renamed\"");
    auto builder = Gtk::Builder::create_from_string(definition);
    FakeHandlers::instance().registerKeys({DISCONNECT, CONNECT_DIALOG_OPEN});
    TaviskBiaconWidgets::MenuBar* menuBar = nullptr;
    builder->get_widget_derived("MenuBar", menuBar);
    ASSERT_NE(menuBar, nullptr);
    auto renamed = Glib::RefPtr<Gtk::ImageMenuItem>::cast_dynamic(builder->get_object("Renamed"));
    auto disconnect =
        Glib::RefPtr<Gtk::ImageMenuItem>::cast_dynamic(builder->get_object("DisconnectImageMenuItem"));
    EXPECT_EQ(renamed->get_label(), "gtk-connect");
    EXPECT_EQ(disconnect->get_label(), "Отключиться");
    renamed->activate();
    disconnect->activate();
    EXPECT_EQ(FakeHandlers::instance().fired(), std::vector<HandlersFuncKeys>{DISCONNECT});
    menuBar->redefinitionLabeles();
    EXPECT_EQ(disconnect->get_label(), "Disconnect");
    Gtk::Window* window = nullptr;
    builder->get_widget("MainWindow", window);
    delete menuBar;
    delete window;
}

} // namespace
