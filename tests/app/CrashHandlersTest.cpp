#include "platform/CrashHandlers.h"
#include "app/StartupLog.h"
#include "tests/app/ChildProcess.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <csignal>
#include <exception>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <thread>

using tavisk::test::readFile;
using tavisk::test::runInChild;
using tavisk::test::TempFolder;
using tavisk::test::withoutTimestamps;

namespace {

volatile bool gKeepRecursing = true;

[[gnu::noinline]] int recurseForever(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (!gKeepRecursing)
        return frame[0];
    return recurseForever(depth + 1) + frame[0];
}

struct CrashCase {
    const char* name;
    std::function<void()> crash;
    int exitStatus;
    const char* firstLine; // the handler's own line
    const char* secondLine;
};

TEST(CrashHandlers, FatalEventsLeaveTheirLinesAndExitStatus) {
    const CrashCase cases[] = {
        {"raised SIGSEGV", [] { std::raise(SIGSEGV); }, 128 + SIGSEGV, "[CRITICAL] [Crash] Signal 11",
         nullptr},
        {"write to a protected page",
         [] {
             // A real fault, not one a sanitizer would catch first (as it does for null).
             void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
             *static_cast<volatile int*>(page) = 1;
         },
         128 + SIGSEGV, "[CRITICAL] [Crash] Signal 11", nullptr},
        {"std::terminate", [] { std::terminate(); }, 128 + SIGABRT,
         "[CRITICAL] [Crash] std::terminate() called", "[CRITICAL] [Crash] Signal 6"},
        {"exception leaving a worker thread", [] { std::thread([] { throw 7; }).join(); }, 128 + SIGABRT,
         "[CRITICAL] [Crash] std::terminate() called", "[CRITICAL] [Crash] Signal 6"},
        {"fatal GLib error", [] { g_error("cannot go on"); }, 128 + SIGTRAP, "[ERROR] cannot go on",
         "[CRITICAL] [Crash] Signal 5"},
        {"stack overflow", [] { recurseForever(0); }, 128 + SIGSEGV, "[CRITICAL] [Crash] Signal 11", nullptr},
    };
    for (const auto& c : cases) {
        TempFolder temp;
        const std::string log = temp.path() + "/startup.log";
        const auto result = runInChild([&] {
            openStartupLog(log);
            installCrashHandlers();
            installSignalHandlers();
            // The GLib route as start-up sets it, so that a fatal error is logged before it traps.
            g_log_set_default_handler([](const gchar* domain, GLogLevelFlags level, const gchar* message,
                                         gpointer) { writeLogLine(domain, level, message); },
                                      nullptr);
            c.crash();
            return 0;
        });
        ASSERT_FALSE(result.timedOut) << c.name;
        EXPECT_TRUE(result.exited) << c.name << " ended by signal " << result.signal;
        EXPECT_EQ(result.exitStatus, c.exitStatus) << c.name;
        const std::string lines = withoutTimestamps(readFile(log));
        std::string expected = std::string(c.firstLine) + "\n";
        if (c.secondLine)
            expected += std::string(c.secondLine) + "\n";
        EXPECT_NE(lines.find(expected), std::string::npos) << c.name << ":\n" << lines;
        // The stack follows the signal line.
        EXPECT_NE(lines.find("[CRITICAL] [Crash]   #0 0x"), std::string::npos) << c.name << ":\n" << lines;
    }
}

TEST(CrashHandlers, CrashWhileTheLogIsLockedStillReportsAndEnds) {
    TempFolder temp;
    const std::string log = temp.path() + "/startup.log";
    const auto result = runInChild([&] {
        openStartupLog(log);
        installSignalHandlers();
        startupLogMutex().lock(); // as if the crash came in the middle of a line
        std::raise(SIGSEGV);
        return 0;
    });
    ASSERT_FALSE(result.timedOut);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 139);
    EXPECT_NE(withoutTimestamps(readFile(log)).find("[CRITICAL] [Crash] Signal 11\n"), std::string::npos);
}

TEST(CrashHandlers, WithoutALogTheProcessStillEndsWithTheSignalStatus) {
    const auto result = runInChild([] {
        closeStartupLog();
        installSignalHandlers();
        std::raise(SIGSEGV);
        return 0;
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 139);
}

} // namespace
