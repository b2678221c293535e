#include "platform/CrashHandlers.h"

#include "platform/CrashLine.h"
#include "platform/ModuleOfAddress.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kFatalSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};
// Signals that end the process without a crash: the cleanup runs, then their own action.
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kMaxFrames = 64;

void onFatalSignal(int signal) {
    runCrashCleanup();
    const auto now = static_cast<std::int64_t>(::time(nullptr));
    CrashLine head = CrashLine::begin(now, "CRITICAL", "Crash");
    head.append("Signal ").appendDecimal(static_cast<std::uint64_t>(signal));
    writeCrashBytes(head.data(), head.size());

    void* frames[kMaxFrames];
    writeStackLines(now, frames, ::backtrace(frames, kMaxFrames));
    _exit(128 + signal);
}

void onTerminationSignal(int signal) {
    runCrashCleanup();
    // SA_RESETHAND has put the default action back, and the signal stays blocked until this
    // handler returns: then it ends the process as if there had been no handler.
    ::raise(signal);
}

} // namespace

int openCrashLogFile(const std::filesystem::path& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
}

void closeCrashLogFile(int fd) {
    ::close(fd);
}

long writeSomeCrashBytes(int fd, const char* data, std::size_t size) {
    ssize_t written;
    do
        written = ::write(fd, data, size);
    while (written < 0 && errno == EINTR);
    return static_cast<long>(written);
}

// The module is looked up in /proc/self/maps at the time of the crash, not in a table made at
// start-up: the map also holds what was loaded later (GTK loads its image loaders and input,
// GIO and accessibility modules once the window is built), and reading it takes only open,
// read and close, which are async-signal-safe, whereas dladdr and dl_iterate_phdr take the
// dynamic loader's lock, which a crash inside dlopen would hold. One read of the map per
// frame keeps the handler's memory to two small buffers on its stack. Without /proc (or a
// free descriptor) the frames keep their bare addresses.
bool findFrameModule(std::uintptr_t address, char* path, std::size_t pathCapacity, std::uintptr_t& offset) {
    if (pathCapacity == 0)
        return false;
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ModuleOfAddress module(address);
    char chunk[2048];
    char line[1024];
    std::size_t lineLength = 0;
    while (!module.done()) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (ssize_t i = 0; i < got && !module.done(); ++i) {
            if (chunk[i] == '\n') {
                module.addLine(line, lineLength);
                lineLength = 0;
            } else if (lineLength < sizeof line) {
                // The map's lines are far shorter; a longer one is cut.
                line[lineLength++] = chunk[i];
            }
        }
    }
    if (!module.done() && lineLength > 0)
        module.addLine(line, lineLength);
    ::close(fd);
    if (!module.found())
        return false;
    std::size_t i = 0;
    for (const char* from = module.path(); *from != '\0' && i + 1 < pathCapacity; ++from)
        path[i++] = *from;
    path[i] = '\0';
    offset = module.offset();
    return true;
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

    struct sigaction termination {};
    termination.sa_handler = onTerminationSignal;
    termination.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&termination.sa_mask);
    for (int signal : kTerminationSignals) {
        // A signal the process was started to ignore (nohup, a background job) stays ignored.
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signal, &termination, nullptr);
    }
}
