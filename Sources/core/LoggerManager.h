#pragma once

#include "core/BaseLogger.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The one entry point for logging: a level filter in front of the active loggers.
class LoggerManager {
public:
    enum LoggerType : std::uint8_t { CONSOLE = 0, FILE = 1 };
    enum Level : std::uint8_t { FULL = 0, IMPORTANT = 1, MINIMUM = 2 };

    static LoggerManager& getInstance();

    // Drops the line below the level, else hands it to each active logger in list order.
    void log(const std::string& message, BaseLogger::MessageType type, const std::string& prefix);

    void addLogger(LoggerType type);
    void removeLogger(LoggerType type);
    void setActiveLoggers(const std::vector<LoggerType>& loggers);
    void clearAllLoggers();
    bool checkLoggerExists(LoggerType type);
    void setGlobalLevel(Level level);
    Level getGlobalLevel() const;
    BaseLogger* getLoggerInstance(LoggerType type);

    // Whether a line of this kind passes the given level.
    static bool passes(Level level, BaseLogger::MessageType type);

    LoggerManager(const LoggerManager&) = delete;
    LoggerManager& operator=(const LoggerManager&) = delete;

private:
    LoggerManager() = default;

    std::vector<LoggerType> activeLoggers;
    std::atomic<Level> globalLevel{FULL}; // read without the mutex by getGlobalLevel
    // Guards activeLoggers and globalLevel and serialises all logging: one line at a time in
    // the whole process. Held while a logger writes (lock order: this first, then the logger's).
    std::mutex mutex;
};
