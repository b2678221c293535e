#include "platform/CrashHandlers.h"

#include "platform/CrashLine.h"

#include <cstdlib>
#include <ctime>
#include <exception>

namespace {

[[noreturn]] void onTerminate() {
    writeCrashLine("std::terminate() called");
    std::abort();
}

} // namespace

void writeCrashLine(const char* message) {
    CrashLine line = CrashLine::begin(static_cast<std::int64_t>(std::time(nullptr)), "CRITICAL", "Crash");
    line.append(message);
    writeCrashBytes(line.data(), line.size());
}

void writeStackLines(std::int64_t unixSeconds, void* const* frames, int count) {
    for (int i = 0; i < count; ++i) {
        CrashLine frame = CrashLine::begin(unixSeconds, "CRITICAL", "Crash");
        frame.append("  #").appendDecimal(static_cast<std::uint64_t>(i)).append(" ");
        frame.appendHex(reinterpret_cast<std::uintptr_t>(frames[i]), true);
        writeCrashBytes(frame.data(), frame.size());
    }
}

void installCrashHandlers() {
    installPlatformCrashHandlers();
    std::set_terminate(onTerminate);
}
