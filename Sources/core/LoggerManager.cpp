#include "core/LoggerManager.h"

#include "core/ConsoleLogger.h"
#include "core/FileLogger.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

LoggerManager& LoggerManager::getInstance() {
    static LoggerManager instance;
    return instance;
}

bool LoggerManager::passes(Level level, BaseLogger::MessageType type) {
    switch (level) {
    case MINIMUM:
        return type == BaseLogger::ERROR;
    case IMPORTANT:
        return type == BaseLogger::WARNING || type == BaseLogger::ERROR || type == BaseLogger::FATAL;
    default:
        return true;
    }
}

BaseLogger* LoggerManager::getLoggerInstance(LoggerType type) {
    switch (type) {
    case CONSOLE:
        return &ConsoleLogger::getInstance();
    case FILE:
        return &FileLogger::getInstance();
    }
    throw std::invalid_argument("Unknown logger type");
}

void LoggerManager::log(const std::string& message, BaseLogger::MessageType type, const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!passes(globalLevel, type))
        return;
    for (LoggerType logger : activeLoggers) {
        try {
            getLoggerInstance(logger)->log(message, type, prefix);
        } catch (const std::exception& e) {
            // A broken logger costs only its own output.
            std::cerr << "Logger error: " << e.what() << '\n';
            std::cerr.flush();
        }
    }
}

void LoggerManager::addLogger(LoggerType type) {
    std::lock_guard<std::mutex> lock(mutex);
    if (std::find(activeLoggers.begin(), activeLoggers.end(), type) == activeLoggers.end())
        activeLoggers.push_back(type);
}

void LoggerManager::removeLogger(LoggerType type) {
    std::lock_guard<std::mutex> lock(mutex);
    activeLoggers.erase(std::remove(activeLoggers.begin(), activeLoggers.end(), type), activeLoggers.end());
}

void LoggerManager::setActiveLoggers(const std::vector<LoggerType>& loggers) {
    std::lock_guard<std::mutex> lock(mutex);
    activeLoggers = loggers;
}

void LoggerManager::clearAllLoggers() {
    std::lock_guard<std::mutex> lock(mutex);
    activeLoggers.clear();
}

bool LoggerManager::checkLoggerExists(LoggerType type) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::find(activeLoggers.begin(), activeLoggers.end(), type) != activeLoggers.end();
}

void LoggerManager::setGlobalLevel(Level level) {
    std::lock_guard<std::mutex> lock(mutex);
    globalLevel = level;
}

LoggerManager::Level LoggerManager::getGlobalLevel() const {
    return globalLevel;
}
