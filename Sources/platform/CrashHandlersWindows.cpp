// NOGDI, WIN32_LEAN_AND_MEAN and NOMINMAX come from the build (wingdi.h defines ERROR).
#include <windows.h>

#include "platform/CrashHandlers.h"

#include "platform/CrashLine.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace {

std::atomic<int> gCrashFd{-1};

constexpr int kMaxFrames = 64;

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* info) {
    const auto now = static_cast<std::int64_t>(_time64(nullptr));
    const DWORD code =
        (info != nullptr && info->ExceptionRecord != nullptr) ? info->ExceptionRecord->ExceptionCode : 0;
    CrashLine head = CrashLine::begin(now, "CRITICAL", "Crash");
    head.append("Unhandled exception code=").appendHex(code, true);
    writeCrashBytes(head.data(), head.size());
    void* frames[kMaxFrames];
    writeStackLines(now, frames, RtlCaptureStackBackTrace(0, kMaxFrames, frames, nullptr));
    return EXCEPTION_EXECUTE_HANDLER;
}

void onFatalSignal(int signal) {
    const auto now = static_cast<std::int64_t>(_time64(nullptr));
    CrashLine head = CrashLine::begin(now, "CRITICAL", "Crash");
    head.append("Signal ").appendDecimal(static_cast<std::uint64_t>(signal));
    writeCrashBytes(head.data(), head.size());
    _exit(128 + signal);
}

} // namespace

void writeCrashBytes(const char* data, std::size_t size) {
    const int fd = gCrashFd.load();
    if (fd < 0)
        return;
    while (size > 0) {
        const int written = _write(fd, data, static_cast<unsigned>(size));
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void setCrashLogPath(const std::filesystem::path& path) {
    int fd = -1;
    if (!path.empty())
        fd = _wopen(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
    const int previous = gCrashFd.exchange(fd);
    if (previous >= 0)
        _close(previous);
}

void installPlatformCrashHandlers() {
    SetUnhandledExceptionFilter(onUnhandledException);
}

void installSignalHandlers() {
    std::signal(SIGABRT, onFatalSignal);
    std::signal(SIGSEGV, onFatalSignal);
}
