#include "control/WindowLogging.h"

#include "control/WindowLines.h"
#include "core/LoggerManager.h"

#include <cctype>
#include <string>

void configureWindowLogging(const char* levelName) {
    LoggerManager& logger = LoggerManager::getInstance();
    logger.addLogger(LoggerManager::FILE);
    logger.addLogger(LoggerManager::CONSOLE);
    logger.setGlobalLevel(LoggerManager::FULL);
    if (levelName == nullptr || *levelName == '\0')
        return;
    std::string name(levelName);
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "OFF")
        logger.clearAllLoggers();
    else if (name == "FULL")
        logger.setGlobalLevel(LoggerManager::FULL);
    else if (name == "IMPORTANT")
        logger.setGlobalLevel(LoggerManager::IMPORTANT);
    else if (name == "MINIMUM")
        logger.setGlobalLevel(LoggerManager::MINIMUM);
    else
        logger.log("TAVISK_LOG_LEVEL \"" + std::string(levelName) +
                       "\" is not a level (OFF, FULL, IMPORTANT or MINIMUM): using FULL",
                   BaseLogger::WARNING, WindowLines::kPrefix);
}
