#pragma once

#include <glib.h>

#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>

// The start-up log: a file of its own, separate from LoggerManager's logs, that receives the
// start-up steps, everything GLib logs or prints, caught fatal errors and crash reports.
// One line per event: "<UTC time> [LEVEL] [domain] message", flushed at once so that the file
// is complete up to a crash. Lines may come from any thread.

// The level name of the highest-priority GLib level bit that is set, else "LOG".
const char* levelName(GLogLevelFlags level);

// "%Y-%m-%dT%H:%M:%SZ" of the given instant, or of now.
std::string formatTimestampUtc(std::time_t instant);
std::string formatTimestampUtc();

// One complete line, newline included. A null or empty domain writes no domain brackets;
// a null message writes nothing after the blank.
std::string formatLogLine(std::time_t instant, const char* domain, GLogLevelFlags level, const char* message);

// Where the start-up log goes: TAVISK_LOG_PATH when set and not empty; otherwise
// "TaviskBeaconUtility/TaviskBeaconUtility.log" below the local application-data folder
// (the folder is created when missing); otherwise "TaviskBeaconUtility.log" in the temporary
// folder.
std::filesystem::path chooseStartupLogPath();

// Opens the log for appending (closing one that is open). Writes the two opening lines when
// it opened; returns whether it did.
bool openStartupLog(const std::filesystem::path& path);
void closeStartupLog();
bool startupLogIsOpen();

// Writes one line; does nothing while no log is open.
void writeLogLine(const char* domain, GLogLevelFlags level, const char* message);
void writeLogLine(const char* domain, GLogLevelFlags level, const std::string& message);
void writeLogMessage(const char* domain, const std::string& message);  // level MESSAGE
void writeLogCritical(const char* domain, const std::string& message); // level CRITICAL

// The lock held while one line is written. The crash handlers never take it.
std::mutex& startupLogMutex();
