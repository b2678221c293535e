#include "app/StartupLog.h"
#include "app/GlibHandlers.h"
#include "platform/CrashLine.h"
#include "tests/app/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

using tavisk::test::readFile;
using tavisk::test::runInChild;
using tavisk::test::TempFolder;
using tavisk::test::withoutTimestamps;

namespace {

// GLib calls these through C frames; nothing may be thrown across them.
static_assert(noexcept(glibLogHandler(nullptr, G_LOG_LEVEL_MESSAGE, nullptr, nullptr)));
static_assert(noexcept(glibPrintHandler(nullptr)));
static_assert(noexcept(glibPrintErrHandler(nullptr)));

GLogLevelFlags level(int bits) {
    return static_cast<GLogLevelFlags>(bits);
}

TEST(StartupLogLine, FormatsTimeLevelDomainAndMessage) {
    struct Case {
        std::time_t instant;
        const char* domain;
        int level;
        const char* message;
        const char* expected;
    };
    const Case cases[] = {
        {1709647629, "TaviskBeaconUtility", G_LOG_LEVEL_MESSAGE, "=== Application start ===",
         "2024-03-05T14:07:09Z [MESSAGE] [TaviskBeaconUtility] === Application start ===\n"},
        {0, nullptr, G_LOG_LEVEL_WARNING, "no domain", "1970-01-01T00:00:00Z [WARNING] no domain\n"},
        {0, "", G_LOG_LEVEL_WARNING, "empty domain", "1970-01-01T00:00:00Z [WARNING] empty domain\n"},
        {0, "Crash", G_LOG_LEVEL_CRITICAL, nullptr, "1970-01-01T00:00:00Z [CRITICAL] [Crash] \n"},
        {951868799, "Gtk", G_LOG_LEVEL_ERROR | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION, "e",
         "2000-02-29T23:59:59Z [ERROR] [Gtk] e\n"},
        {4107542400, "Gdk", G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING, "c",
         "2100-03-01T00:00:00Z [CRITICAL] [Gdk] c\n"},
        {946684799, "Pango", G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG, "i",
         "1999-12-31T23:59:59Z [INFO] [Pango] i\n"},
        {0, "x", G_LOG_LEVEL_DEBUG, "d", "1970-01-01T00:00:00Z [DEBUG] [x] d\n"},
        {0, "x", G_LOG_LEVEL_MESSAGE | G_LOG_FLAG_FATAL, "m", "1970-01-01T00:00:00Z [MESSAGE] [x] m\n"},
        {0, "x", 0, "none", "1970-01-01T00:00:00Z [LOG] [x] none\n"},
        {0, "x", G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION, "flags only",
         "1970-01-01T00:00:00Z [LOG] [x] flags only\n"},
        {0, "stdout", G_LOG_LEVEL_MESSAGE, "text\n", "1970-01-01T00:00:00Z [MESSAGE] [stdout] text\n\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatLogLine(c.instant, c.domain, level(c.level), c.message), c.expected) << c.expected;
}

TEST(StartupLogLine, TimestampAgreesWithTheCLibraryCalendar) {
    // Across leap days, century years and the 32-bit rollover, one instant per ~4.6 days.
    for (std::int64_t instant = 0; instant < 4'200'000'000LL; instant += 400'009) {
        const std::time_t t = static_cast<std::time_t>(instant);
        std::tm utc{};
        ASSERT_NE(::gmtime_r(&t, &utc), nullptr);
        char expected[32];
        std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", &utc);
        ASSERT_EQ(formatTimestampUtc(t), expected) << instant;
    }
}

TEST(CrashLineText, NumbersAndCutting) {
    struct Case {
        std::uint64_t value;
        const char* decimal;
        const char* hex;
    };
    const Case cases[] = {{0, "0", "0x0"},
                          {11, "11", "0xb"},
                          {0xC0000005, "3221225477", "0xc0000005"},
                          {UINT64_MAX, "18446744073709551615", "0xffffffffffffffff"}};
    for (const auto& c : cases) {
        CrashLine decimal;
        decimal.appendDecimal(c.value);
        EXPECT_EQ(std::string(decimal.data(), decimal.size()), std::string(c.decimal) + "\n");
        CrashLine hex;
        hex.appendHex(c.value, true);
        EXPECT_EQ(std::string(hex.data(), hex.size()), std::string(c.hex) + "\n");
    }

    CrashLine longLine = CrashLine::begin(0, "CRITICAL", "Crash");
    const std::string filler(2 * CrashLine::kCapacity, 'x');
    longLine.append(filler.c_str());
    const std::string text(longLine.data(), longLine.size());
    EXPECT_EQ(text.size(), CrashLine::kCapacity);
    EXPECT_EQ(text.rfind("1970-01-01T00:00:00Z [CRITICAL] [Crash] xxx", 0), 0u);
    EXPECT_EQ(text.back(), '\n');
}

// Where the log goes, for each setting of the variables it depends on (GLib reads its folder
// variables once per process, hence a child per case).
TEST(StartupLogPath, ChosenFromTheEnvironment) {
    TempFolder temp;
    struct Case {
        const char* logPath; // null: unset
        std::string expected;
    };
    const std::string dataHome = temp.path() + "/data";
    const Case cases[] = {
        {"/somewhere/else.log", "/somewhere/else.log"},
        {"", dataHome + "/TaviskBeaconUtility/TaviskBeaconUtility.log"},
        {nullptr, dataHome + "/TaviskBeaconUtility/TaviskBeaconUtility.log"},
    };
    for (const auto& c : cases) {
        const auto result = runInChild([&] {
            ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
            if (c.logPath)
                ::setenv("TAVISK_LOG_PATH", c.logPath, 1);
            else
                ::unsetenv("TAVISK_LOG_PATH");
            std::fputs(chooseStartupLogPath().c_str(), stdout);
            return 0;
        });
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.out, c.expected) << (c.logPath ? c.logPath : "(unset)");
    }
    // The folder below the application-data folder is made on the way.
    EXPECT_TRUE(std::filesystem::is_directory(dataHome + "/TaviskBeaconUtility"));
}

TEST(StartupLogFile, AppendsAcrossRunsAndSkipsWritesWithoutAFile) {
    TempFolder temp;
    const std::string path = temp.path() + "/startup.log";
    ASSERT_TRUE(openStartupLog(path));
    writeLogMessage("Env", "first run");
    ASSERT_TRUE(openStartupLog(path));
    writeLogCritical("Crash", "second run");
    closeStartupLog();
    writeLogMessage("Env", "after close"); // no file: nothing happens

    EXPECT_EQ(withoutTimestamps(readFile(path)),
              "[MESSAGE] [TaviskBeaconUtility] === Application start ===\n"
              "[MESSAGE] [TaviskBeaconUtility] " +
                  path +
                  "\n"
                  "[MESSAGE] [Env] first run\n"
                  "[MESSAGE] [TaviskBeaconUtility] === Application start ===\n"
                  "[MESSAGE] [TaviskBeaconUtility] " +
                  path +
                  "\n"
                  "[CRITICAL] [Crash] second run\n");

    EXPECT_FALSE(openStartupLog(temp.path() + "/no/such/folder/startup.log"));
    EXPECT_FALSE(startupLogIsOpen());
    writeLogMessage("Env", "still nothing");
}

void recordPrevious(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
    const char* path = std::getenv("TAVISK_TEST_PREVIOUS");
    std::ofstream(path, std::ios::app)
        << (domain ? domain : "(null)") << "|" << levelName(level) << "|" << message << "\n";
}

TEST(GlibHandlers, LogLinesReachTheLogAndThePreviousHandler) {
    TempFolder temp;
    const std::string log = temp.path() + "/startup.log";
    const std::string previous = temp.path() + "/previous.txt";
    const auto result = runInChild([&] {
        ::setenv("TAVISK_TEST_PREVIOUS", previous.c_str(), 1);
        openStartupLog(log);
        g_log_set_default_handler(recordPrevious, nullptr);
        installGlibHandlers();
        installGlibHandlers(); // a second time keeps the first predecessor
        g_log(nullptr, G_LOG_LEVEL_WARNING, "plain warning");
        g_log("Gtk", G_LOG_LEVEL_MESSAGE, "from %s", "gtk");
        g_print("printed\n");
        g_printerr("complained");
        return 0;
    });
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    const std::string lines = withoutTimestamps(readFile(log));
    EXPECT_NE(lines.find("[WARNING] plain warning\n[MESSAGE] [Gtk] from gtk\n[MESSAGE] [stdout] printed\n\n"
                         "[WARNING] [stderr] complained\n"),
              std::string::npos)
        << lines;
    EXPECT_EQ(readFile(previous), "(null)|WARNING|plain warning\nGtk|MESSAGE|from gtk\n");
}

TEST(GlibHandlers, WithoutAnEarlierHandlerGLibsOwnPrintsTheMessage) {
    TempFolder temp;
    const auto result = runInChild([&] {
        openStartupLog(temp.path() + "/startup.log");
        installGlibHandlers();
        g_log("Gdk", G_LOG_LEVEL_WARNING, "to the console too");
        return 0;
    });
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_NE(result.err.find("to the console too"), std::string::npos) << result.err;
    EXPECT_NE(readFile(temp.path() + "/startup.log").find("[WARNING] [Gdk] to the console too\n"),
              std::string::npos);
}

volatile bool gLogWhenUnloading = false;

// Runs after every static destructor, as a shared library's own clean-up does (GLib's among
// them).
[[gnu::destructor]] void logWhenUnloading() {
    if (gLogWhenUnloading)
        g_log("GLib-GIO", G_LOG_LEVEL_WARNING, "late in the exit");
}

TEST(GlibHandlers, MessageAfterStaticDestructionStillReachesTheLog) {
    TempFolder temp;
    const std::string log = temp.path() + "/startup.log";
    const auto result = runInChild([&] {
        openStartupLog(log);
        installGlibHandlers();
        gLogWhenUnloading = true;
        std::exit(0);
        return 0;
    });
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_NE(readFile(log).find("[WARNING] [GLib-GIO] late in the exit\n"), std::string::npos)
        << readFile(log);
}

TEST(GlibHandlers, ClearedMasksLetCriticalsAndWarningsPass) {
    const char* const domains[] = {nullptr, "GLib", "GLib-GIO", "Gtk", "Gdk", "Pango"};
    for (const char* domain : domains) {
        const auto result = runInChild([&] {
            // What G_DEBUG=fatal-criticals or a library's own mask would have set.
            g_log_set_always_fatal(level(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
            g_log_set_fatal_mask(domain, level(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
            clearFatalMasks();
            g_log(domain, G_LOG_LEVEL_CRITICAL, "survivable");
            g_log(domain, G_LOG_LEVEL_WARNING, "survivable");
            return 0;
        });
        EXPECT_TRUE(result.exited && result.exitStatus == 0) << (domain ? domain : "(default)");
    }
}

} // namespace
