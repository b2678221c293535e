#include "app/Startup.h"
#include "tests/app/ChildProcess.h"

#include <glibmm/fileutils.h>
#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using tavisk::test::ChildResult;
using tavisk::test::readFile;
using tavisk::test::runInChild;
using tavisk::test::TempFolder;
using tavisk::test::withoutTimestamps;

namespace {

// Runs the whole start-up in a child process with its log and temporary folder in `temp`.
ChildResult startInChild(const std::string& logPath, const std::string& tmpDir,
                         const WindowFactory& factory) {
    return runInChild([&] {
        ::setenv("TAVISK_LOG_PATH", logPath.c_str(), 1);
        ::setenv("TMPDIR", tmpDir.c_str(), 1);
        ::setenv("XDG_DATA_DIRS", "/usr/local/share:/usr/share", 1);
        static char name[] = "TaviskBeaconUtility";
        static char* argv[] = {name, nullptr};
        return runStartup(1, argv, factory);
    });
}

// A window that closes itself as soon as the main loop runs.
Gtk::Window* selfClosingWindow(const char* title, Glib::RefPtr<Gtk::Application>& app) {
    g_log(nullptr, G_LOG_LEVEL_MESSAGE, "factory called with %s", title);
    auto* window = new Gtk::Window();
    Glib::signal_idle().connect_once([app] { app->quit(); });
    return window;
}

// The lines of `log` (timestamps cut) contain `expected` in this order, others between them.
::testing::AssertionResult containsInOrder(const std::string& log, const std::vector<std::string>& expected) {
    std::istringstream in(log);
    std::string line;
    std::size_t next = 0;
    while (next < expected.size() && std::getline(in, line))
        if (line == expected[next])
            ++next;
    if (next == expected.size())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "missing, in order: \"" << expected[next] << "\" in\n" << log;
}

TEST(Startup, StepsRunAndLogInOrderUpToTheMainLoop) {
    TempFolder temp;
    const std::string log = temp.path() + "/startup.log";
    const auto result = startInChild(log, temp.path(), selfClosingWindow);
    ASSERT_FALSE(result.timedOut);
    ASSERT_TRUE(result.exited) << "signal " << result.signal << "\n" << readFile(log);
    EXPECT_EQ(result.exitStatus, 0) << result.err;

    const fs::path share =
        fs::path(temp.path()) / "TaviskBeaconUtility-runtime-tavisk_app_startup_tests" / "share";
    const std::string lines = withoutTimestamps(readFile(log));
    EXPECT_TRUE(containsInOrder(
        lines,
        {
            "[MESSAGE] [TaviskBeaconUtility] === Application start ===",
            "[MESSAGE] [TaviskBeaconUtility] " + log,
            "[MESSAGE] [TaviskBeaconUtility] Registering embedded resources...",
            "[MESSAGE] [TaviskBeaconUtility] Embedded resources registered.",
            "[MESSAGE] [GSettings] Embedded GSettings schemas: yes",
            "[MESSAGE] [Env] XDG_DATA_DIRS=" + share.string() + ":/usr/local/share:/usr/share",
            "[MESSAGE] [Env] GSETTINGS_SCHEMA_DIR=" + (share / "glib-2.0" / "schemas").string(),
            "[MESSAGE] [GResource] OK: /taviskbeaconutility/ui/UserInterface.glade",
            "[MESSAGE] [GResource] OK: /taviskbeaconutility/icons/hicolor/index.theme",
            "[MESSAGE] [GResource] OK: "
            "/taviskbeaconutility/icons/hicolor/16x16/places/user-home-symbolic-ltr.xpm",
            "[MESSAGE] [GResource] OK: "
            "/taviskbeaconutility/icons/hicolor/16x16/places/user-home-symbolic.xpm",
            "[MESSAGE] [GResource] OK: "
            "/taviskbeaconutility/icons/hicolor/16x16/actions/edit-find-symbolic.xpm",
            "[MESSAGE] [GResource] OK: /taviskbeaconutility/icons/hicolor/16x16/status/image-missing.xpm",
            "[MESSAGE] [GResource] OK: /taviskbeaconutility/gsettings/gschemas.compiled",
            "[MESSAGE] [TaviskBeaconUtility] Creating Gtk::Application...",
            "[MESSAGE] [TaviskBeaconUtility] Gtk::Application created.",
            "[MESSAGE] [Gtk] Gtk::IconTheme has icon user-home-symbolic-ltr",
            "[MESSAGE] [Gtk] Gtk::IconTheme has icon image-missing",
            "[MESSAGE] [Gtk] Gtk::IconTheme has icon edit-find-symbolic",
            "[MESSAGE] [TaviskBeaconUtility] Creating MainWindow...",
            "[MESSAGE] factory called with TaviskBeaconUtility",
            "[MESSAGE] [TaviskBeaconUtility] MainWindow created. Entering event loop.",
        }));
    // Our own steps complain about nothing (what the desktop around says is not ours to judge).
    for (const char* complaint :
         {"[WARNING] [FS]", "[WARNING] [GResource]", "[WARNING] [Gtk] Gtk::IconTheme"})
        EXPECT_EQ(lines.find(complaint), std::string::npos) << lines;
}

TEST(Startup, EmbeddedIconsAreFoundWithoutTheRuntimeFolder) {
    TempFolder temp;
    const std::string log = temp.path() + "/startup.log";
    const std::string notAFolder = temp.path() + "/plain-file";
    std::ofstream(notAFolder) << "x"; // the runtime folder cannot be made below this
    const auto result = startInChild(log, notAFolder, selfClosingWindow);
    ASSERT_TRUE(result.exited) << "signal " << result.signal;
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const std::string lines = withoutTimestamps(readFile(log));
    EXPECT_TRUE(containsInOrder(lines, {"[MESSAGE] [Gtk] Gtk::IconTheme has icon user-home-symbolic-ltr",
                                        "[MESSAGE] [Gtk] Gtk::IconTheme has icon image-missing",
                                        "[MESSAGE] [Gtk] Gtk::IconTheme has icon edit-find-symbolic"}));
}

TEST(Startup, ExceptionFromTheWindowEndsWithStatusOneAndItsText) {
    struct Case {
        const char* name;
        WindowFactory factory;
        const char* standardError;
        const char* logLine;
    };
    const Case cases[] = {
        {"GLib error",
         [](const char*, Glib::RefPtr<Gtk::Application>&) -> Gtk::Window* {
             throw Glib::FileError(Glib::FileError::NO_SUCH_ENTITY, "UI definition not readable");
         },
         "Ошибка: UI definition not readable\n", "[ERROR] [Exception] UI definition not readable"},
        {"standard exception",
         [](const char*, Glib::RefPtr<Gtk::Application>&) -> Gtk::Window* {
             throw std::runtime_error("widget tree broken");
         },
         "Ошибка (std::exception): widget tree broken\n", "[ERROR] [Exception] widget tree broken"},
        {"anything else", [](const char*, Glib::RefPtr<Gtk::Application>&) -> Gtk::Window* { throw 42; },
         "Неизвестная ошибка\n", "[ERROR] [Exception] Unknown exception"},
        {"no window", [](const char*, Glib::RefPtr<Gtk::Application>&) -> Gtk::Window* { return nullptr; },
         "Ошибка (std::exception): MainWindow could not be created from the UI definition\n",
         "[ERROR] [Exception] MainWindow could not be created from the UI definition"},
    };
    for (const auto& c : cases) {
        TempFolder temp;
        const std::string log = temp.path() + "/startup.log";
        const auto result = startInChild(log, temp.path(), c.factory);
        ASSERT_FALSE(result.timedOut) << c.name;
        ASSERT_TRUE(result.exited) << c.name << ": signal " << result.signal;
        EXPECT_EQ(result.exitStatus, 1) << c.name;
        EXPECT_NE(result.err.find(c.standardError), std::string::npos) << c.name << ": " << result.err;
        const std::string lines = withoutTimestamps(readFile(log));
        EXPECT_TRUE(
            containsInOrder(lines, {"[MESSAGE] [TaviskBeaconUtility] Creating MainWindow...", c.logLine}))
            << c.name;
        EXPECT_EQ(lines.find("Entering event loop"), std::string::npos) << c.name;
    }
}

} // namespace
