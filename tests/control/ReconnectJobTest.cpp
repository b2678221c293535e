#include "control/ReconnectJob.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

// A virtual clock: every sleep is recorded and returns at once, unless the clock is held,
// in which case sleeps wait until it is released or cancelled.
class VirtualSleeper : public Sleeper {
public:
    bool sleepFor(milliseconds duration) override {
        std::unique_lock<std::mutex> lock(mutex);
        sleeps.push_back(duration.count());
        changed.notify_all();
        changed.wait(lock, [this] { return !held || cancelled; });
        return !cancelled;
    }
    void cancel() override {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
        changed.notify_all();
    }
    void hold(bool on) {
        std::lock_guard<std::mutex> lock(mutex);
        held = on;
        changed.notify_all();
    }
    bool waitForSleeps(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 20s, [&] { return sleeps.size() >= count; });
    }
    std::vector<long long> recorded() {
        std::lock_guard<std::mutex> lock(mutex);
        return sleeps;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<long long> sleeps;
    bool held = false;
    bool cancelled = false;
};

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
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (job.inProgress()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
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
        auto sleeper = std::make_unique<VirtualSleeper>();
        VirtualSleeper& clock = *sleeper;
        ReconnectJob job(device.steps(), std::move(sleeper));
        ASSERT_TRUE(job.schedule()) << c.name;
        ASSERT_TRUE(waitForEnd(job)) << c.name;
        EXPECT_EQ(clock.recorded(), c.sleeps) << c.name;
        EXPECT_EQ(device.seen(), c.events) << c.name;
    }
}

// A reconnect started with the clock held in its first pause (before it touches the link).
struct HeldReconnect {
    HeldReconnect() {
        device.backOnTry = 1;
        auto sleeper = std::make_unique<VirtualSleeper>();
        clock = sleeper.get();
        clock->hold(true);
        job = std::make_unique<ReconnectJob>(device.steps(), std::move(sleeper));
    }
    bool startAndPause() { return job->schedule() && clock->waitForSleeps(1); }

    Device device;
    VirtualSleeper* clock = nullptr;
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

} // namespace
