#include "control/ReconnectJob.h"
#include "tests/support/Eventually.h"
#include "tests/support/LogCapture.h"
#include "tests/support/VirtualClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tavisk::test::LogCapture;
using tavisk::test::VirtualClock;

// What the reconnect did to the link and the workers, in order.
struct Device {
    int backOnTry = 0; // 0: never
    int connects = 0;
    std::vector<std::string> events;
    std::mutex mutex;

    ReconnectJob::Steps steps() {
        ReconnectJob::Steps s;
        s.stopWorkers = [this] { note("stop"); };
        s.disconnect = [this] { note("disconnect"); };
        s.connect = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            ++connects;
            events.push_back("connect");
            return backOnTry > 0 && connects >= backOnTry;
        };
        s.restartWorkers = [this] { note("restart"); };
        return s;
    }
    void note(const char* event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
};

bool waitForEnd(const ReconnectJob& job) {
    return tavisk::test::eventually([&] { return !job.inProgress(); }, 20s, 1ms);
}

std::vector<std::string> repeated(const std::string& event, int times) {
    return std::vector<std::string>(static_cast<std::size_t>(times), event);
}

TEST(ReconnectJob, TimingOfADeviceThatComesBackAndOfOneThatNeverDoes) {
    struct Case {
        const char* name;
        int backOnTry;
        std::vector<long long> sleeps;
        std::vector<std::string> events;
    };
    std::vector<long long> neverSleeps = {300, 150};
    for (int i = 0; i < 30; ++i)
        neverSleeps.push_back(200);
    std::vector<std::string> neverEvents = {"stop", "disconnect"};
    for (const auto& e : repeated("connect", 30))
        neverEvents.push_back(e);
    const Case cases[] = {
        {"back at once", 1, {300, 150, 150, 500}, {"stop", "disconnect", "connect", "restart"}},
        {"back on the third try",
         3,
         {300, 150, 200, 200, 150, 500},
         {"stop", "disconnect", "connect", "connect", "connect", "restart"}},
        // Thirty tries, each failure followed by its pause; the workers stay stopped.
        {"never back", 0, neverSleeps, neverEvents},
    };
    for (const Case& c : cases) {
        Device device;
        device.backOnTry = c.backOnTry;
        auto virtualClock = std::make_unique<VirtualClock>();
        VirtualClock& clock = *virtualClock;
        ReconnectJob job(device.steps(), std::move(virtualClock));
        ASSERT_TRUE(job.schedule()) << c.name;
        ASSERT_TRUE(waitForEnd(job)) << c.name;
        EXPECT_EQ(clock.sleeps(), c.sleeps) << c.name;
        EXPECT_EQ(device.seen(), c.events) << c.name;
    }
}

// A reconnect started with the clock held in its first pause (before it touches the link).
struct HeldReconnect {
    HeldReconnect() {
        device.backOnTry = 1;
        auto virtualClock = std::make_unique<VirtualClock>();
        clock = virtualClock.get();
        clock->hold(true);
        job = std::make_unique<ReconnectJob>(device.steps(), std::move(virtualClock));
    }
    bool startAndPause() { return job->schedule() && clock->waitForSleeps(1); }

    Device device;
    VirtualClock* clock = nullptr;
    std::unique_ptr<ReconnectJob> job;
};

TEST(ReconnectJob, OneAtATimeAndAnotherOnceItHasEnded) {
    HeldReconnect held;
    ASSERT_TRUE(held.startAndPause());
    EXPECT_TRUE(held.job->inProgress());
    EXPECT_FALSE(held.job->schedule());
    held.clock->hold(false);
    ASSERT_TRUE(waitForEnd(*held.job));
    EXPECT_TRUE(held.job->schedule());
    ASSERT_TRUE(waitForEnd(*held.job));
    EXPECT_EQ(held.device.connects, 2);
}

TEST(ReconnectJob, CancellingEndsTheWaitAtOnceWithoutTouchingTheLink) {
    HeldReconnect held;
    ASSERT_TRUE(held.startAndPause());
    held.job->cancelAndJoin();
    EXPECT_FALSE(held.job->inProgress());
    EXPECT_TRUE(held.device.seen().empty());
}

// The session frees the line in `finished`: it must come by every way out, once, and only when
// the job takes another reconnect.
TEST(ReconnectJob, EveryWayOutEndsWithFinishedOnceTheJobIsIdle) {
    const struct {
        const char* name;
        int backOnTry;
        bool cutShort;
        bool restartThrows;
        std::vector<std::string> events;
        const char* errorLine;
    } cases[] = {
        {"back", 1, false, false, {"stop", "disconnect", "connect", "restart", "finished idle"}, nullptr},
        {"never back", 0, false, false,
         [] {
             std::vector<std::string> e = {"stop", "disconnect"};
             for (const auto& c : repeated("connect", 30))
                 e.push_back(c);
             e.push_back("finished idle");
             return e;
         }(),
         nullptr},
        {"cut short in its first pause", 1, true, false, {"finished idle"}, nullptr},
        // A worker thread that cannot be made throws from the restart; that ended the process.
        {"the workers cannot restart",
         1,
         false,
         true,
         {"stop", "disconnect", "connect", "finished idle"},
         "MainWindow: reconnect worker ended by an exception: "},
    };
    for (const auto& c : cases) {
        LogCapture log;
        Device device;
        device.backOnTry = c.backOnTry;
        std::unique_ptr<ReconnectJob> job;
        ReconnectJob::Steps steps = device.steps();
        if (c.restartThrows)
            steps.restartWorkers = [] {
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            };
        steps.finished = [&] { device.note(job->inProgress() ? "finished busy" : "finished idle"); };
        auto virtualClock = std::make_unique<VirtualClock>();
        VirtualClock& clock = *virtualClock;
        clock.hold(c.cutShort);
        job = std::make_unique<ReconnectJob>(steps, std::move(virtualClock));
        ASSERT_TRUE(job->schedule()) << c.name;
        if (c.cutShort) {
            ASSERT_TRUE(clock.waitForSleeps(1)) << c.name;
            job->cancelAndJoin();
        }
        ASSERT_TRUE(waitForEnd(*job)) << c.name;
        job->cancelAndJoin(); // joins: `finished` has run
        EXPECT_EQ(device.seen(), c.events) << c.name;
        EXPECT_EQ(log.count("", BaseLogger::ERROR), c.errorLine ? 1u : 0u) << c.name;
        if (c.errorLine) {
            EXPECT_EQ(log.count(c.errorLine, BaseLogger::ERROR), 1u) << c.name;
        }
    }
}

} // namespace
