#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

// What the program takes from the operating system at start-up, one implementation per system
// (ProcessServicesPosix.cpp, ProcessServicesWindows.cpp). Paths come back in the system's
// native form; UTF-8 texts are marked as such.

// The running executable's full path; empty when the system cannot tell.
std::optional<std::filesystem::path> getExecutablePath();

// The temporary folder (never empty: the current folder when nothing better is known).
std::filesystem::path getTempDir();

// The user's local application-data folder; empty when the system cannot tell.
std::optional<std::filesystem::path> getLocalAppDataDir();

// The user's Desktop folder as UTF-8; empty when the system cannot tell (callers pick their
// own fallback).
std::optional<std::string> getDesktopDir();

// Sets an environment variable for the process and for every copy of the environment that
// the runtime libraries read. An empty name does nothing.
void setEnvVarAlways(const std::string& name, const std::filesystem::path& value);

// Points XDG_DATA_DIRS at the folder. On Windows the folder becomes the whole value; elsewhere
// it is put in front of the value the process started with (or the system default), so that
// GTK still finds the system's shared data, such as the MIME database. A later call replaces
// the folder of an earlier one.
void setXdgDataDirs(const std::filesystem::path& folder);

// The value setXdgDataDirs gives on this system, for a folder and the value the process
// started with (null when it had none).
std::string composeXdgDataDirs(const std::filesystem::path& folder, const char* startValue);

// From now on SIGTERM, SIGINT and SIGHUP (those the process did not start with ignored) no
// longer end the process at once: each one calls `onSignal` with its name ("SIGTERM") on the
// thread of the main loop, which can then end the program as its Quit does. Later ones are
// handled the same way; while the main loop no longer runs they wait. No such signals on
// Windows: nothing is installed there.
void quitOnTerminationSignals(std::function<void(const char* signalName)> onSignal);
