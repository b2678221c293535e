#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

// Crash handlers that leave a trace in the start-up log. They write pre-formatted lines with
// one system write call each, through a descriptor of their own, and never take the start-up
// log's lock: the crashing thread may hold it.

// Points the crash path at the start-up log file (opened for appending); an empty path
// stops crash lines.
void setCrashLogPath(const std::filesystem::path& path);

// The std::terminate handler ("std::terminate() called", then abort) and, on Windows, the
// unhandled-exception filter.
void installCrashHandlers();

// Fatal signals: "Signal N" and the stack, then the process ends with status 128 + N.
// SIGABRT and SIGSEGV everywhere; on POSIX systems also SIGBUS, SIGILL, SIGFPE and SIGTRAP
// (a fatal GLib error raises SIGTRAP there), handled on an alternate stack of the calling
// thread (the main thread) so that a stack overflow there is reported too.
void installSignalHandlers();

// One CRITICAL line in the domain "Crash"; async-signal-safe.
void writeCrashLine(const char* message);

// One "  #i 0x..." line per return address, all stamped with the same time; async-signal-safe.
void writeStackLines(std::int64_t unixSeconds, void* const* frames, int count);

// The platform part, in CrashHandlersPosix.cpp or CrashHandlersWindows.cpp:
// writes one finished line to the crash descriptor (async-signal-safe) ...
void writeCrashBytes(const char* data, std::size_t size);
// ... and installs the handlers that only some systems have (called by installCrashHandlers).
void installPlatformCrashHandlers();
