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
// thread (the main thread) so that a stack overflow there is reported too. On POSIX systems
// SIGTERM, SIGINT and SIGHUP (unless ignored) run the crash cleanup and then end the process
// as they would have without a handler.
void installSignalHandlers();

// What the process must give back to the system even when it dies (a serial port's exclusive
// flag): called once, first thing, by the fatal-signal handler and the unhandled-exception
// filter, and by the handler of the termination signals. It runs inside a signal handler, so
// it must be async-signal-safe. One function at a time: a later call replaces it, nullptr
// removes it.
using CrashCleanup = void (*)();
void setCrashCleanup(CrashCleanup cleanup);

// One CRITICAL line in the domain "Crash"; async-signal-safe.
void writeCrashLine(const char* message);

// One "  #i 0x..." line per return address, all stamped with the same time, followed by
// " <module>+0x<offset>" where the module is known (the offset from the module's load
// address, as dladdr's dli_fbase gives it); async-signal-safe.
void writeStackLines(std::int64_t unixSeconds, void* const* frames, int count);

// Writes one finished line to the crash descriptor (async-signal-safe).
void writeCrashBytes(const char* data, std::size_t size);

// Runs the crash cleanup if one is set and it has not run yet (async-signal-safe).
void runCrashCleanup();

// The platform part, in CrashHandlersPosix.cpp or CrashHandlersWindows.cpp:
// opens the crash log for appending (-1 when it cannot), closes it, and writes some bytes of a
// line with one system call (the count written, 0 or less on failure; async-signal-safe) ...
int openCrashLogFile(const std::filesystem::path& path);
void closeCrashLogFile(int fd);
long writeSomeCrashBytes(int fd, const char* data, std::size_t size);
// ... finds the module that holds an address: its path (NUL-terminated; a path too long for
// the capacity keeps its end, after "...") and the address's offset from the module's load
// address; false when unknown (async-signal-safe) ...
bool findFrameModule(std::uintptr_t address, char* path, std::size_t pathCapacity, std::uintptr_t& offset);
// ... and installs the handlers that only some systems have (called by installCrashHandlers).
void installPlatformCrashHandlers();
