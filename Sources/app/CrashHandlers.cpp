#include "CrashHandlers.h"

#include "CrashLine.h"

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

void installCrashHandlers() {
    installPlatformCrashHandlers();
    std::set_terminate(onTerminate);
}
