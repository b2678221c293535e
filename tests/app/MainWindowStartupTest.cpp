// Where the main window takes its UI definition from, through the whole start-up in a child
// process: TAVISK_UI_GLADE, the embedded definition, and definitions it cannot use.
#include "app/MainWindow.h"
#include "app/Startup.h"
#include "core/GlobalHandlerEvents.h"
#include "tests/app/ChildProcess.h"

#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using tavisk::test::ChildResult;
using tavisk::test::readFile;
using tavisk::test::runInChild;
using tavisk::test::TempFolder;
using tavisk::test::withoutTimestamps;

// The program's own start-up with the real window, which quits through QUIT_APP as soon as
// the main loop runs. `uiGlade` null: the variable is not set.
ChildResult startProgram(const TempFolder& temp, const char* uiGlade) {
    return runInChild([&] {
        ::setenv("TAVISK_LOG_PATH", (temp.path() + "/startup.log").c_str(), 1);
        ::setenv("TMPDIR", temp.path().c_str(), 1);
        ::setenv("TAVISK_LOG_LEVEL", "OFF", 1);
        ::setenv("GSETTINGS_BACKEND", "memory", 1);
        if (uiGlade)
            ::setenv("TAVISK_UI_GLADE", uiGlade, 1);
        else
            ::unsetenv("TAVISK_UI_GLADE");
        static char name[] = "TaviskBeaconUtility";
        static char* argv[] = {name, nullptr};
        return runStartup(1, argv,
                          [](const char* title, Glib::RefPtr<Gtk::Application>& app) -> Gtk::Window* {
                              MainWindow* window = MainWindow::getInstance(title, app);
                              Glib::signal_idle().connect_once(
                                  [] { GlobalHandlerEvents::getInstance()._executeHandler(QUIT_APP); });
                              return window;
                          });
    });
}

std::string writeDefinition(const TempFolder& temp, const std::string& name, const std::string& xml) {
    const std::string path = temp.path() + "/" + name;
    std::ofstream(path) << xml;
    return path;
}

TEST(MainWindowStartup, WhereTheUiDefinitionComesFrom) {
    struct Case {
        const char* name;
        std::string uiGlade; // "-": not set
        std::string loadLine;
    };
    const std::string embedded =
        "MainWindow: loading UI from GResource /taviskbeaconutility/ui/UserInterface.glade";
    const Case cases[] = {
        {"a file", TAVISK_UI_FILE,
         std::string("MainWindow: loading UI from file override: ") + TAVISK_UI_FILE},
        {"a missing file", "/nonexistent/UserInterface.glade", embedded},
        {"an empty value", "", embedded},
        {"not set", "-", embedded},
    };
    for (const Case& c : cases) {
        TempFolder temp;
        const ChildResult result = startProgram(temp, c.uiGlade == "-" ? nullptr : c.uiGlade.c_str());
        ASSERT_TRUE(result.exited) << c.name << ": signal " << result.signal;
        EXPECT_EQ(result.exitStatus, 0) << c.name << ": " << result.err;
        const std::string lines = withoutTimestamps(readFile(temp.path() + "/startup.log"));
        EXPECT_NE(lines.find("[MESSAGE] " + c.loadLine + "\n"), std::string::npos) << c.name << "\n" << lines;
        EXPECT_EQ(lines.find(c.loadLine == embedded ? "from file override" : "from GResource"),
                  std::string::npos)
            << c.name;
        EXPECT_NE(lines.find("[MESSAGE] MainWindow: initWidgets done."), std::string::npos) << c.name;
    }
}

TEST(MainWindowStartup, ADefinitionItCannotUseEndsTheProgramWithStatusOne) {
    struct Case {
        const char* name;
        std::string xml;
        std::string standardError;
    };
    const Case cases[] = {
        {"broken XML", "<interface><object class=\"GtkWindow\" id=\"MainWindow\"></interface>", "Ошибка: "},
        {"no MainWindow", "<interface><object class=\"GtkBox\" id=\"Other\"/></interface>",
         "Ошибка (std::exception): The UI definition has no object \"MainWindow\"\n"},
        {"MainWindow of another class", "<interface><object class=\"GtkBox\" id=\"MainWindow\"/></interface>",
         "Ошибка (std::exception): The UI definition's \"MainWindow\" is not a window\n"},
    };
    for (const Case& c : cases) {
        TempFolder temp;
        const std::string file = writeDefinition(temp, "broken.glade", c.xml);
        const ChildResult result = startProgram(temp, file.c_str());
        ASSERT_FALSE(result.timedOut) << c.name;
        ASSERT_TRUE(result.exited) << c.name << ": signal " << result.signal;
        EXPECT_EQ(result.exitStatus, 1) << c.name;
        EXPECT_NE(result.err.find(c.standardError), std::string::npos) << c.name << ": " << result.err;
        const std::string lines = withoutTimestamps(readFile(temp.path() + "/startup.log"));
        EXPECT_NE(lines.find("[ERROR] [Exception] "), std::string::npos) << c.name;
        EXPECT_EQ(lines.find("Entering event loop"), std::string::npos) << c.name;
    }
}

} // namespace
