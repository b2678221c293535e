#include "control/EraseWait.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Request = EraseWait::Request;
using Knowledge = EraseWait::Knowledge;

const Knowledge kNoDevice{true, true, false, false};
const Knowledge kNoField{true, true, true, false};
const Knowledge kReady{true, true, true, true};

std::string failureText(const char* failure) {
    return failure ? failure : "";
}

TEST(EraseWait, OneStepFromTheCounterAndWhatIsKnown) {
    struct Case {
        int ticks;
        Knowledge known;
        Request request;
        bool keepWaiting;
        const char* failure;
        int ticksAfter;
    };
    const Case cases[] = {
        // Searches on every fifth tick, counting from the first.
        {0, kNoDevice, Request::SEARCH, true, nullptr, 1},
        {1, kNoDevice, Request::NONE, true, nullptr, 2},
        {4, kNoDevice, Request::NONE, true, nullptr, 5},
        {5, kNoDevice, Request::SEARCH, true, nullptr, 6},
        {49, kNoDevice, Request::NONE, true, nullptr, 50},
        // The 51st tick asks once more and gives up.
        {50, kNoDevice, Request::SEARCH, false, EraseWait::kNoDevice, 51},
        // A known device without "erase" is asked for its fields on the same ticks.
        {0, kNoField, Request::FIELD_INFO, true, nullptr, 1},
        {3, kNoField, Request::NONE, true, nullptr, 4},
        {45, kNoField, Request::FIELD_INFO, true, nullptr, 46},
        {50, kNoField, Request::FIELD_INFO, false, EraseWait::kNoField, 51},
        // Device and field known: the erase is written, whatever the counter.
        {0, kReady, Request::WRITE_ERASE, false, nullptr, 0},
        {37, kReady, Request::WRITE_ERASE, false, nullptr, 0},
        // A lost link and a missing model end the wait without a request; the link first.
        {12, {false, true, true, true}, Request::NONE, false, EraseWait::kLinkLost, 12},
        {12, {false, false, false, false}, Request::NONE, false, EraseWait::kLinkLost, 12},
        {7, {true, false, false, false}, Request::NONE, false, EraseWait::kNoModel, 7},
    };
    for (const Case& c : cases) {
        const EraseWait::Step step = EraseWait::step(c.ticks, c.known);
        const std::string where = "ticks " + std::to_string(c.ticks) + ", device " +
                                  std::to_string(c.known.deviceKnown) + ", field " +
                                  std::to_string(c.known.eraseFieldKnown);
        EXPECT_EQ(step.request, c.request) << where;
        EXPECT_EQ(step.keepWaiting, c.keepWaiting) << where;
        EXPECT_EQ(failureText(step.failure), failureText(c.failure)) << where;
        EXPECT_EQ(step.ticks, c.ticksAfter) << where;
    }
}

// Ticks an armed wait until it ends; `knownAt(n)` is what tick n (counting from 1) finds.
struct WaitRun {
    std::vector<int> searches;
    std::vector<int> fieldRequests;
    int writeTick = 0;
    int lastTick = 0;
    std::string failure;
};

template <typename F> WaitRun runWait(EraseWait& wait, F knownAt) {
    WaitRun run;
    for (int tick = 1; tick <= 1000; ++tick) {
        const EraseWait::Step step = wait.tick(knownAt(tick));
        if (step.request == Request::SEARCH)
            run.searches.push_back(tick);
        if (step.request == Request::FIELD_INFO)
            run.fieldRequests.push_back(tick);
        if (step.request == Request::WRITE_ERASE)
            run.writeTick = tick;
        if (!step.keepWaiting) {
            run.lastTick = tick;
            run.failure = failureText(step.failure);
            break;
        }
    }
    return run;
}

TEST(EraseWait, NoDeviceSearchesOnTicksOneSixToFiftyOneAndTimesOut) {
    EraseWait wait;
    wait.arm(ERASE_FILE_0);
    const WaitRun run = runWait(wait, [](int) { return kNoDevice; });
    std::vector<int> expected;
    for (int tick = 1; tick <= 51; tick += 5)
        expected.push_back(tick);
    EXPECT_EQ(run.searches, expected);
    EXPECT_EQ(run.lastTick, 51);
    EXPECT_EQ(run.failure, EraseWait::kNoDevice);
    EXPECT_FALSE(wait.isActive());
}

TEST(EraseWait, ADeviceFoundLateKeepsOnlyTheRemainingTicks) {
    EraseWait wait;
    wait.arm(ERASE_FILE_0);
    // The device answers on tick 23 but never describes "erase".
    const WaitRun run = runWait(wait, [](int tick) { return tick < 23 ? kNoDevice : kNoField; });
    EXPECT_EQ(run.searches, (std::vector<int>{1, 6, 11, 16, 21}));
    EXPECT_EQ(run.fieldRequests, (std::vector<int>{26, 31, 36, 41, 46, 51}));
    EXPECT_EQ(run.lastTick, 51);
    EXPECT_EQ(run.failure, EraseWait::kNoField);
}

TEST(EraseWait, TheFieldFoundWritesTheEraseAndEndsTheWait) {
    EraseWait wait;
    wait.arm(ERASE_FILE_0);
    const WaitRun run = runWait(wait, [](int tick) {
        return tick < 3 ? kNoDevice : tick < 9 ? kNoField : kReady;
    });
    EXPECT_EQ(run.writeTick, 9);
    EXPECT_EQ(run.lastTick, 9);
    EXPECT_EQ(run.failure, "");
    EXPECT_EQ(wait.ticks(), 0);
    EXPECT_EQ(wait.code(), ERASE_FILE_0);
    EXPECT_FALSE(wait.isActive());
}

TEST(EraseWait, ASecondStartDuringTheWaitRestartsTheCounter) {
    EraseWait wait;
    wait.arm(ERASE_FILE_0);
    for (int tick = 0; tick < 7; ++tick)
        wait.tick(kNoDevice);
    EXPECT_EQ(wait.ticks(), 7);
    wait.arm(ERASE_FILE_0);
    EXPECT_EQ(wait.ticks(), 0);
    // The restarted wait asks at once and lasts its full 51 ticks.
    const WaitRun run = runWait(wait, [](int) { return kNoDevice; });
    EXPECT_EQ(run.searches.front(), 1);
    EXPECT_EQ(run.lastTick, 51);
}

TEST(EraseWait, ADisarmedWaitEndsQuietly) {
    EraseWait wait;
    wait.arm(ERASE_FILE_0);
    wait.tick(kNoDevice);
    wait.disarm();
    const EraseWait::Step step = wait.tick(kReady);
    EXPECT_EQ(step.request, Request::NONE);
    EXPECT_FALSE(step.keepWaiting);
    EXPECT_EQ(step.failure, nullptr);
    EXPECT_FALSE(wait.isActive());
}

TEST(EraseCmd, FileNumbers) {
    EXPECT_EQ(eraseFileNumber(ERASE_FILE_0), 0);
    EXPECT_EQ(eraseFileNumber(ERASE_FILE_1), 1);
    EXPECT_EQ(eraseFileNumber(ERASE_FILE_2), 2);
    EXPECT_EQ(eraseFileNumber(static_cast<EraseCmd>(0x12345678)), 0);
}

} // namespace
