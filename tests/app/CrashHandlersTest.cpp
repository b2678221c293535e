#include "platform/CrashHandlers.h"
#include "app/StartupLog.h"
#include "link/SerialPortPosix.h"
#include "tests/app/ChildProcess.h"
#include "tests/support/PtyPair.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <dlfcn.h>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Exported from the test executable (ENABLE_EXPORTS), so that dladdr can name it: the frame of
// the fault must map back to it.
extern "C" [[gnu::noinline]] void taviskCrashHandlersTestFault() {
    // A real fault, not one a sanitizer would catch first (as it does for null).
    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
}

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
        {"write to a protected page", [] { taviskCrashHandlersTestFault(); }, 128 + SIGSEGV,
         "[CRITICAL] [Crash] Signal 11", nullptr},
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

struct Frame {
    std::uintptr_t address = 0;
    std::string module; // empty when the line names none
    std::uintptr_t offset = 0;
};

// The frame lines of a start-up log: "  #i 0x<address>[ <module>+0x<offset>]".
std::vector<Frame> framesOf(const std::string& lines) {
    std::vector<Frame> frames;
    std::istringstream in(lines);
    const std::string mark = "[CRITICAL] [Crash]   #";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(mark, 0) != 0)
            continue;
        const std::size_t address = line.find(" 0x", mark.size());
        if (address == std::string::npos)
            continue;
        Frame frame;
        std::size_t end = 0;
        frame.address = std::stoull(line.substr(address + 3), &end, 16);
        const std::size_t module = address + 3 + end;
        const std::size_t plus = line.rfind("+0x");
        if (module < line.size() && line[module] == ' ' && plus != std::string::npos && plus > module) {
            frame.module = line.substr(module + 1, plus - module - 1);
            frame.offset = std::stoull(line.substr(plus + 3), nullptr, 16);
        }
        frames.push_back(frame);
    }
    return frames;
}

// Each frame names its module and its offset from the module's load address, so that the
// stack can be mapped to code afterwards (the child has the test's own layout: forked).
TEST(CrashHandlers, FramesNameTheirModuleAndTheOffsetInIt) {
    TempFolder temp;
    const std::string log = temp.path() + "/startup.log";
    const auto result = runInChild([&] {
        openStartupLog(log);
        installSignalHandlers();
        taviskCrashHandlersTestFault();
        return 0;
    });
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 128 + SIGSEGV);
    const std::string lines = withoutTimestamps(readFile(log));
    const std::vector<Frame> frames = framesOf(lines);
    ASSERT_FALSE(frames.empty()) << lines;

    Dl_info self{};
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(&taviskCrashHandlersTestFault), &self), 0);
    const std::string executable = std::filesystem::read_symlink("/proc/self/exe").string();
    const auto base = reinterpret_cast<std::uintptr_t>(self.dli_fbase);
    bool faultFound = false;
    for (const Frame& frame : frames) {
        if (frame.module.empty())
            continue;
        // The offset is the address's distance from where its module was loaded.
        Dl_info info{};
        ASSERT_NE(::dladdr(reinterpret_cast<void*>(frame.address), &info), 0) << std::hex << frame.address;
        EXPECT_EQ(frame.offset, frame.address - reinterpret_cast<std::uintptr_t>(info.dli_fbase))
            << frame.module;
        if (frame.module != executable)
            continue;
        EXPECT_EQ(info.dli_fbase, self.dli_fbase);
        Dl_info mapped{};
        if (::dladdr(reinterpret_cast<void*>(base + frame.offset), &mapped) != 0 &&
            mapped.dli_sname != nullptr && std::string(mapped.dli_sname) == "taviskCrashHandlersTestFault")
            faultFound = true;
    }
    EXPECT_TRUE(faultFound) << "no frame of " << executable << " maps back to the faulting function:\n"
                            << lines;
}

bool slaveExclusive(int slave) {
    int flag = 0;
    return ::ioctl(slave, TIOCGEXCL, &flag) == 0 && flag != 0;
}

// The beacon's line outlives the program (its peer keeps the pseudo-terminal): however the
// program dies, the next start must find the line free and as it was.
TEST(CrashHandlers, DyingProcessReleasesItsSerialPort) {
    struct Case {
        const char* name;
        std::function<void()> die;
        bool crashLines;
        int exitStatus; // -1: killed by `signal`
        int signal;
    };
    const Case cases[] = {
        {"fault", [] { taviskCrashHandlersTestFault(); }, true, 128 + SIGSEGV, 0},
        {"std::terminate", [] { std::terminate(); }, true, 128 + SIGABRT, 0},
        {"SIGTERM", [] { std::raise(SIGTERM); }, false, -1, SIGTERM},
        {"SIGINT from another thread",
         [] {
             std::thread([] { ::kill(::getpid(), SIGINT); }).join();
             ::pause();
         },
         false, -1, SIGINT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tavisk::test::PtyPair pty;
        const int slave = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(slave, 0);
        termios before{};
        ASSERT_EQ(::tcgetattr(pty.masterFd(), &before), 0);
        TempFolder temp;
        const std::string log = temp.path() + "/startup.log";
        const auto result = runInChild([&] {
            openStartupLog(log);
            setCrashCleanup(releaseOpenSerialPorts);
            installCrashHandlers();
            installSignalHandlers();
            SerialPortPosix port;
            if (port.openPort(pty.slavePath()) != LINK_OK || !port.serialPortConfig(UsbTypes::BAUD_921600) ||
                !slaveExclusive(slave))
                return 1;
            c.die();
            return 2;
        });
        ASSERT_FALSE(result.timedOut);
        if (c.exitStatus >= 0) {
            EXPECT_TRUE(result.exited) << "ended by signal " << result.signal;
            EXPECT_EQ(result.exitStatus, c.exitStatus);
        } else {
            EXPECT_FALSE(result.exited) << "exit status " << result.exitStatus;
            EXPECT_EQ(result.signal, c.signal);
        }
        EXPECT_FALSE(slaveExclusive(slave));
        termios after{};
        ASSERT_EQ(::tcgetattr(pty.masterFd(), &after), 0);
        EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        const std::string lines = withoutTimestamps(readFile(log));
        EXPECT_EQ(lines.find("[CRITICAL] [Crash]") != std::string::npos, c.crashLines) << lines;
        ::close(slave);
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
