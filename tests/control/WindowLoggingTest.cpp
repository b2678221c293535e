#include "control/WindowLogging.h"
#include "core/LoggerManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

void setEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

TEST(WindowLogging, TheLevelVariable) {
    // The file logger writes into a folder of this test's own.
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("tavisk-window-logging-" + std::to_string(stamp));
    std::filesystem::create_directories(folder);
    setEnv("TAVISK_LOG_DIR", folder.string());

    struct Case {
        const char* value; // null: the variable is not set
        bool loggers;
        LoggerManager::Level level;
    };
    const Case cases[] = {
        {nullptr, true, LoggerManager::FULL},
        {"", true, LoggerManager::FULL},
        {"important", true, LoggerManager::IMPORTANT},
        {"Minimum", true, LoggerManager::MINIMUM},
        {"FULL", true, LoggerManager::FULL},
        {"off", false, LoggerManager::FULL},
        {" full", true, LoggerManager::FULL},
        {"IMPORTANT ", true, LoggerManager::FULL},
        {"verbose", true, LoggerManager::FULL},
    };
    LoggerManager& manager = LoggerManager::getInstance();
    for (const Case& c : cases) {
        const std::string name = c.value ? std::string("\"") + c.value + "\"" : "unset";
        manager.clearAllLoggers();
        manager.setGlobalLevel(LoggerManager::MINIMUM);
        configureWindowLogging(c.value);
        EXPECT_EQ(manager.checkLoggerExists(LoggerManager::FILE), c.loggers) << name;
        EXPECT_EQ(manager.checkLoggerExists(LoggerManager::CONSOLE), c.loggers) << name;
        if (c.loggers) {
            EXPECT_EQ(manager.getGlobalLevel(), c.level) << name;
        }
    }
    manager.clearAllLoggers();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

} // namespace
