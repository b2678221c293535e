// NOGDI, WIN32_LEAN_AND_MEAN and NOMINMAX come from the build (wingdi.h defines ERROR).
#include <windows.h>

#include "platform/CrashHandlers.h"

#include <gtest/gtest.h>

#include <csignal>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The same file in the test and in its re-run death-test child.
std::filesystem::path logFile(const char* name) {
    return std::filesystem::temp_directory_path() / (std::string("tavisk-crash-") + name + ".log");
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void crashWith(const std::filesystem::path& log, void (*crash)()) {
    setCrashLogPath(log);
    installCrashHandlers();
    installSignalHandlers();
    crash();
}

TEST(CrashHandlersWindows, FatalEventsLeaveTheirLinesAndExitStatus) {
    struct Case {
        const char* name;
        void (*crash)();
        int exitStatus;
        const char* lines;
    };
    const Case cases[] = {
        {"segv", [] { std::raise(SIGSEGV); }, 128 + SIGSEGV, "[CRITICAL] [Crash] Signal 11\n"},
        {"terminate", [] { std::terminate(); }, 128 + SIGABRT,
         "[CRITICAL] [Crash] std::terminate() called\n"},
        // The MinGW runtime hands access violations to the SIGSEGV handler before any filter.
        {"access violation",
         [] {
             void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
             *static_cast<volatile int*>(page) = 1;
         },
         128 + SIGSEGV, "[CRITICAL] [Crash] Signal 11\n"},
        // An exception no signal stands for reaches the unhandled-exception filter.
        {"other exception", [] { RaiseException(0xE0001234u, EXCEPTION_NONCONTINUABLE, 0, nullptr); },
         static_cast<int>(0xE0001234u), "[CRITICAL] [Crash] Unhandled exception code=0xe0001234\n"},
    };
    for (const auto& c : cases) {
        const auto log = logFile(c.name);
        std::filesystem::remove(log);
        EXPECT_EXIT(crashWith(log, c.crash), ::testing::ExitedWithCode(c.exitStatus), "") << c.name;
        const std::string text = readFile(log);
        EXPECT_NE(text.find(c.lines), std::string::npos) << c.name << ":\n" << text;
        if (c.exitStatus == static_cast<int>(0xE0001234u)) {
            EXPECT_NE(text.find("[CRITICAL] [Crash]   #0 0x"), std::string::npos) << text;
        }
        std::filesystem::remove(log);
    }
}

} // namespace
