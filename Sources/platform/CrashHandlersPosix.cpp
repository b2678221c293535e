#include "platform/CrashHandlers.h"

#include "platform/CrashLine.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<int> gCrashFd{-1};

constexpr int kFatalSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};
constexpr int kMaxFrames = 64;

void onFatalSignal(int signal) {
    const auto now = static_cast<std::int64_t>(::time(nullptr));
    CrashLine head = CrashLine::begin(now, "CRITICAL", "Crash");
    head.append("Signal ").appendDecimal(static_cast<std::uint64_t>(signal));
    writeCrashBytes(head.data(), head.size());

    void* frames[kMaxFrames];
    writeStackLines(now, frames, ::backtrace(frames, kMaxFrames));
    _exit(128 + signal);
}

} // namespace

void writeCrashBytes(const char* data, std::size_t size) {
    const int fd = gCrashFd.load();
    if (fd < 0)
        return;
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void setCrashLogPath(const std::filesystem::path& path) {
    int fd = -1;
    if (!path.empty())
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    const int previous = gCrashFd.exchange(fd);
    if (previous >= 0)
        ::close(previous);
}

void installPlatformCrashHandlers() {}

void installSignalHandlers() {
    // The first backtrace() may load its unwinder and allocate: do that now, not in a handler.
    void* warmUp[1];
    ::backtrace(warmUp, 1);

    static char alternateStack[64 * 1024];
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    ::sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : kFatalSignals)
        ::sigaction(signal, &action, nullptr);
}
