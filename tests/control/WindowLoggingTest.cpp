#include "control/WindowLogging.h"
#include "core/FileLogger.h"
#include "core/LoggerManager.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using tavisk::test::LogCapture;

void setEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

// An unknown value keeps FULL and says so in one WARNING, which reaches the file as well as
// the console; the four names, in any case, are taken without a word.
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
        bool unknown; // named in a WARNING
    };
    const Case cases[] = {
        {nullptr, true, LoggerManager::FULL, false},
        {"", true, LoggerManager::FULL, false},
        {"important", true, LoggerManager::IMPORTANT, false},
        {"Minimum", true, LoggerManager::MINIMUM, false},
        {"FULL", true, LoggerManager::FULL, false},
        {"off", false, LoggerManager::FULL, false},
        {" full", true, LoggerManager::FULL, true},
        {"IMPORTANT ", true, LoggerManager::FULL, true},
        {"verbose", true, LoggerManager::FULL, true},
    };
    LoggerManager& manager = LoggerManager::getInstance();
    LogCapture console;
    std::vector<std::string> warnings;
    for (const Case& c : cases) {
        const std::string name = c.value ? std::string("\"") + c.value + "\"" : "unset";
        manager.clearAllLoggers();
        manager.setGlobalLevel(LoggerManager::MINIMUM);
        console.clear();
        configureWindowLogging(c.value);
        EXPECT_EQ(manager.checkLoggerExists(LoggerManager::FILE), c.loggers) << name;
        EXPECT_EQ(manager.checkLoggerExists(LoggerManager::CONSOLE), c.loggers) << name;
        if (c.loggers) {
            EXPECT_EQ(manager.getGlobalLevel(), c.level) << name;
        }
        std::vector<std::string> expected;
        if (c.unknown) {
            expected.push_back("MainWindow: TAVISK_LOG_LEVEL " + name +
                               " is not a level (OFF, FULL, IMPORTANT or MINIMUM): using FULL");
            warnings.push_back("[WARNING] " + expected.back());
        }
        EXPECT_EQ(console.texts(), expected) << name;
    }
    manager.clearAllLoggers();

    // The same lines in the file, which the first of them opened.
    BaseLogger::TimeDescription today;
    today.updateTime();
    std::ifstream file(folder / FileLogger::fileName("application", today));
    std::vector<std::string> inFile;
    for (std::string line; std::getline(file, line);)
        inFile.push_back(line.substr(line.find(']') + 1));
    EXPECT_EQ(inFile, warnings);
    file.close();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

} // namespace
