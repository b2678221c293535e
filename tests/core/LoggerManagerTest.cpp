#include "core/LoggerManager.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

using tavisk::test::LogCapture;

namespace {
// How many lines reached the console for one line of each kind, at the given level.
std::string passedKinds(LoggerManager::Level level) {
    LogCapture capture;
    LoggerManager& manager = LoggerManager::getInstance();
    manager.setGlobalLevel(level);
    std::string passed;
    const char* names = "DIWEF";
    for (int kind = BaseLogger::DEBUG; kind <= BaseLogger::FATAL; ++kind) {
        capture.clear();
        manager.log("x", static_cast<BaseLogger::MessageType>(kind), "");
        if (!capture.raw().empty())
            passed += names[kind];
    }
    manager.setGlobalLevel(LoggerManager::FULL);
    return passed;
}
} // namespace

TEST(LoggerManager, LevelFilter) {
    struct Case {
        int level;
        const char* passed; // D I W E F
    } cases[] = {
        {LoggerManager::FULL, "DIWEF"},
        {LoggerManager::IMPORTANT, "WEF"},
        {LoggerManager::MINIMUM, "E"},
        {7, "DIWEF"}, // an unknown level filters nothing
    };
    for (const Case& c : cases)
        EXPECT_EQ(passedKinds(static_cast<LoggerManager::Level>(c.level)), c.passed) << "level " << c.level;
}

TEST(LoggerManager, ListOfLoggers) {
    LogCapture capture;
    LoggerManager& manager = LoggerManager::getInstance();

    manager.clearAllLoggers();
    manager.log("dropped", BaseLogger::ERROR, "");
    EXPECT_EQ(capture.raw(), "");

    manager.addLogger(LoggerManager::CONSOLE);
    manager.addLogger(LoggerManager::CONSOLE);
    manager.log("once", BaseLogger::INFO, "");
    EXPECT_EQ(capture.count("once"), 1u);

    manager.setActiveLoggers({LoggerManager::CONSOLE, LoggerManager::CONSOLE});
    manager.log("twice", BaseLogger::INFO, "");
    EXPECT_EQ(capture.count("twice"), 2u);

    manager.removeLogger(LoggerManager::CONSOLE);
    EXPECT_FALSE(manager.checkLoggerExists(LoggerManager::CONSOLE));
    manager.log("gone", BaseLogger::INFO, "");
    EXPECT_EQ(capture.count("gone"), 0u);
}

TEST(LoggerManager, BrokenLoggerIsReportedAndTheOthersStillWrite) {
    LogCapture capture;
    LoggerManager& manager = LoggerManager::getInstance();
    manager.setActiveLoggers({static_cast<LoggerManager::LoggerType>(5), LoggerManager::CONSOLE});
    testing::internal::CaptureStderr();
    manager.log("still here", BaseLogger::WARNING, "X: ");
    manager.log("filtered", BaseLogger::DEBUG, "X: ");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Logger error: Unknown logger type\nLogger error: Unknown logger type\n");
    EXPECT_EQ(capture.count("X: still here", BaseLogger::WARNING), 1u);
    EXPECT_THROW(manager.getLoggerInstance(static_cast<LoggerManager::LoggerType>(5)), std::invalid_argument);
}
