// NOGDI, WIN32_LEAN_AND_MEAN and NOMINMAX come from the build (wingdi.h defines ERROR).
#include <windows.h>

#include "platform/CrashHandlers.h"

#include "platform/CrashLine.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace {

constexpr int kMaxFrames = 64;

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* info) {
    runCrashCleanup();
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
    runCrashCleanup();
    const auto now = static_cast<std::int64_t>(_time64(nullptr));
    CrashLine head = CrashLine::begin(now, "CRITICAL", "Crash");
    head.append("Signal ").appendDecimal(static_cast<std::uint64_t>(signal));
    writeCrashBytes(head.data(), head.size());
    _exit(128 + signal);
}

} // namespace

int openCrashLogFile(const std::filesystem::path& path) {
    return _wopen(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}

void closeCrashLogFile(int fd) {
    _close(fd);
}

long writeSomeCrashBytes(int fd, const char* data, std::size_t size) {
    return _write(fd, data, static_cast<unsigned>(size));
}

// The frames keep their bare addresses here: naming a module would take the loader's lock,
// which the crashing thread may hold.
bool findFrameModule(std::uintptr_t, char*, std::size_t, std::uintptr_t&) {
    return false;
}

void installPlatformCrashHandlers() {
    SetUnhandledExceptionFilter(onUnhandledException);
}

void installSignalHandlers() {
    std::signal(SIGABRT, onFatalSignal);
    std::signal(SIGSEGV, onFatalSignal);
}
