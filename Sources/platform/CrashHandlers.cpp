#include "platform/CrashHandlers.h"

#include "platform/CrashLine.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <exception>

namespace {

// The crash log's descriptor: exchanged whole by setCrashLogPath, read by the handlers.
std::atomic<int> gCrashFd{-1};
std::atomic<CrashCleanup> gCrashCleanup{nullptr};
// Set by the first handler that runs the cleanup, so that a fault inside it, or a second
// thread's crash, does not run it again.
std::atomic<bool> gCrashCleanupStarted{false};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<CrashCleanup>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "signal handlers may use only lock-free atomics");

// Room for a module path in a frame line: with the time, level, domain, frame number, address
// and offset it stays within a CrashLine, so that the offset is never cut off.
constexpr std::size_t kModulePathCapacity = 320;

[[noreturn]] void onTerminate() {
    writeCrashLine("std::terminate() called");
    std::abort();
}

} // namespace

void setCrashLogPath(const std::filesystem::path& path) {
    const int fd = path.empty() ? -1 : openCrashLogFile(path);
    const int previous = gCrashFd.exchange(fd);
    if (previous >= 0)
        closeCrashLogFile(previous);
}

void writeCrashBytes(const char* data, std::size_t size) {
    const int fd = gCrashFd.load();
    if (fd < 0)
        return;
    while (size > 0) {
        const long written = writeSomeCrashBytes(fd, data, size);
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void setCrashCleanup(CrashCleanup cleanup) {
    gCrashCleanup.store(cleanup);
}

void runCrashCleanup() {
    const CrashCleanup cleanup = gCrashCleanup.load();
    if (cleanup != nullptr && !gCrashCleanupStarted.exchange(true))
        cleanup();
}

void writeCrashLine(const char* message) {
    CrashLine line = CrashLine::begin(static_cast<std::int64_t>(std::time(nullptr)), "CRITICAL", "Crash");
    line.append(message);
    writeCrashBytes(line.data(), line.size());
}

void writeStackLines(std::int64_t unixSeconds, void* const* frames, int count) {
    for (int i = 0; i < count; ++i) {
        const auto address = reinterpret_cast<std::uintptr_t>(frames[i]);
        CrashLine frame = CrashLine::begin(unixSeconds, "CRITICAL", "Crash");
        frame.append("  #").appendDecimal(static_cast<std::uint64_t>(i)).append(" ");
        frame.appendHex(address, true);
        char module[kModulePathCapacity];
        std::uintptr_t offset = 0;
        if (findFrameModule(address, module, sizeof module, offset))
            frame.append(" ").append(module).append("+").appendHex(offset, true);
        writeCrashBytes(frame.data(), frame.size());
    }
}

void installCrashHandlers() {
    installPlatformCrashHandlers();
    std::set_terminate(onTerminate);
}
