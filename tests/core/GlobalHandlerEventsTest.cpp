#include "core/GlobalHandlerEvents.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

using tavisk::test::LogCapture;
using Status = GlobalHandlerEvents::HandlerEventsStatus;

TEST(GlobalHandlerEvents, SecondRegistrationKeepsTheFirstHandler) {
    LogCapture capture;
    int first = 0, second = 0;
    GlobalHandlerEvents::addHandler(SWITCH_LANG, [&] {
        ++first;
        return GlobalHandlerEvents::SUCCESS;
    });
    GlobalHandlerEvents::addHandler(SWITCH_LANG, [&] {
        ++second;
        return GlobalHandlerEvents::SUCCESS;
    });
    EXPECT_EQ(GlobalHandlerEvents::getInstance()._executeHandler(SWITCH_LANG), GlobalHandlerEvents::SUCCESS);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(capture.count("GlobalHandlerEvents: Add handler SWITCH_LANG", BaseLogger::DEBUG), 1u);
    EXPECT_EQ(capture.count("GlobalHandlerEvents: Handler SWITCH_LANG already exist!", BaseLogger::WARNING),
              1u);
    EXPECT_EQ(capture.count("GlobalHandlerEvents: Execute handler SWITCH_LANG", BaseLogger::DEBUG), 1u);
}

TEST(GlobalHandlerEvents, FiringResults) {
    LogCapture capture;
    GlobalHandlerEvents& registry = GlobalHandlerEvents::getInstance();
    GlobalHandlerEvents::addHandler(QUIT_APP, [] { return GlobalHandlerEvents::FAILURE; });
    GlobalHandlerEvents::addHandler(DISCONNECT, [] { return static_cast<Status>(7); });
    capture.clear();

    // A handler's own failure adds no line of the registry's.
    EXPECT_EQ(registry._executeHandler(QUIT_APP), GlobalHandlerEvents::FAILURE);
    EXPECT_EQ(registry._executeHandler(DISCONNECT), GlobalHandlerEvents::FAILURE);
    EXPECT_EQ(capture.count("", BaseLogger::ERROR), 0u);

    EXPECT_EQ(registry._executeHandler(SEARCH_DEVICES), GlobalHandlerEvents::FAILURE);
    EXPECT_EQ(capture.count("GlobalHandlerEvents: Hanler SEARCH_DEVICES did't find", BaseLogger::ERROR), 1u);

    // The unnamed key: empty name in both lines, and it stays unnamed.
    capture.clear();
    EXPECT_EQ(registry._executeHandler(static_cast<HandlersFuncKeys>(12)), GlobalHandlerEvents::FAILURE);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "GlobalHandlerEvents: Execute handler ");
    EXPECT_EQ(lines[1].text, "GlobalHandlerEvents: Hanler  did't find");
    EXPECT_EQ(registry.keyName(static_cast<HandlersFuncKeys>(12)), "");
}

TEST(GlobalHandlerEvents, LoadStageArgumentFindsItsHandlerHoweverItIsPassed) {
    LogCapture capture;
    GlobalHandlerEvents& registry = GlobalHandlerEvents::getInstance();
    std::vector<LoadStage> seen;
    GlobalHandlerEvents::addHandlerWithArgs<LoadStage>(UPLOAD_FIRMWARE, [&](LoadStage stage) {
        seen.push_back(stage);
        return GlobalHandlerEvents::SUCCESS;
    });
    EXPECT_EQ(capture.count("GlobalHandlerEvents: Add handler with args UPLOAD_FIRMWARE", BaseLogger::DEBUG),
              1u);

    LoadStage stage = LOAD_FIRMWARE;
    LoadStage& ref = stage;
    const LoadStage constStage = START_UPLOAD;
    EXPECT_EQ(registry._executeHandlerWithArgs(UPLOAD_FIRMWARE, ref), GlobalHandlerEvents::SUCCESS);
    EXPECT_EQ(registry._executeHandlerWithArgs(UPLOAD_FIRMWARE, constStage), GlobalHandlerEvents::SUCCESS);
    EXPECT_EQ(registry._executeHandlerWithArgs(UPLOAD_FIRMWARE, START_UPLOAD), GlobalHandlerEvents::SUCCESS);
    EXPECT_EQ(seen, (std::vector<LoadStage>{LOAD_FIRMWARE, START_UPLOAD, START_UPLOAD}));
    EXPECT_EQ(
        capture.count("GlobalHandlerEvents: Execute handler with args UPLOAD_FIRMWARE", BaseLogger::DEBUG),
        3u);

    GlobalHandlerEvents::addHandlerWithArgs<LoadStage>(
        UPLOAD_FIRMWARE, [](LoadStage) { return GlobalHandlerEvents::SUCCESS; });
    EXPECT_EQ(capture.count("Handler with args UPLOAD_FIRMWARE already exist!", BaseLogger::WARNING), 1u);

    // Without the argument the key is looked up among the plain handlers, where it is not.
    EXPECT_EQ(registry._executeHandler(UPLOAD_FIRMWARE), GlobalHandlerEvents::FAILURE);
    EXPECT_EQ(capture.count("Hanler UPLOAD_FIRMWARE did't find", BaseLogger::ERROR), 1u);
    // An argument list nobody registered for.
    EXPECT_EQ(registry._executeHandlerWithArgs(UPLOAD_FIRMWARE, 3), GlobalHandlerEvents::FAILURE);
    EXPECT_EQ(capture.count("Handler with args UPLOAD_FIRMWARE didn't find", BaseLogger::ERROR), 1u);
    EXPECT_EQ(seen.size(), 3u);
}

TEST(GlobalHandlerEvents, HandlerMayFireAnotherKey) {
    LogCapture capture;
    GlobalHandlerEvents& registry = GlobalHandlerEvents::getInstance();
    bool inner = false;
    GlobalHandlerEvents::addHandler(GET_INFO_FIELDS_RESPOND, [&] {
        inner = true;
        return GlobalHandlerEvents::SUCCESS;
    });
    GlobalHandlerEvents::addHandler(SET_CURRENT_DEVICE_ADDR,
                                    [&] { return registry._executeHandler(GET_INFO_FIELDS_RESPOND); });
    EXPECT_EQ(registry._executeHandler(SET_CURRENT_DEVICE_ADDR), GlobalHandlerEvents::SUCCESS);
    EXPECT_TRUE(inner);
}

TEST(GlobalHandlerEvents, EmptyHandlerThrowsWhenFired) {
    LogCapture capture;
    GlobalHandlerEvents::addHandler(SELECT_ESP32, GlobalHandlerEvents::Handler());
    EXPECT_THROW(GlobalHandlerEvents::getInstance()._executeHandler(SELECT_ESP32), std::bad_function_call);
    // An empty handler may still be replaced.
    GlobalHandlerEvents::addHandler(SELECT_ESP32, [] { return GlobalHandlerEvents::SUCCESS; });
    EXPECT_EQ(GlobalHandlerEvents::getInstance()._executeHandler(SELECT_ESP32), GlobalHandlerEvents::SUCCESS);
}
