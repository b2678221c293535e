#pragma once

// The logging that the main window sets up when it is built: the application log file and
// the console, everything from DEBUG up, then the level named by `levelName` (the value of
// TAVISK_LOG_LEVEL; null or empty names none). Any case: "OFF" removes both loggers for the
// rest of the process; "FULL", "IMPORTANT" and "MINIMUM" set that level; any other value,
// with blanks or other words, keeps FULL and is named in a WARNING (to the file and the
// console, which FULL lets through).
void configureWindowLogging(const char* levelName);
