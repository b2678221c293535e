#include "core/JobWorker.h"
#include "tests/support/Eventually.h"
#include "tests/support/Gate.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tavisk::test::eventually;
using tavisk::test::Gate;
using tavisk::test::LogCapture;

// What the jobs did, in order, from whichever thread.
class Events {
public:
    void note(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(event);
    }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

private:
    std::mutex mutex;
    std::vector<std::string> seen;
};

// Fails as std::thread's constructor does when the system has no thread to give, `failures`
// times, then makes threads.
JobWorker::ThreadFactory failingFactory(int failures) {
    auto left = std::make_shared<int>(failures);
    return [left](JobWorker::Body body) {
        if ((*left)-- > 0)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    };
}

TEST(JobWorker, HowAStartAndItsJobEnd) {
    const struct {
        const char* name;
        int threadFailures;
        std::function<void()> job;
        bool started;
        std::vector<std::string> events;
        const char* errorLine; // nullptr: no ERROR line
    } cases[] = {
        {"runs the job, then what comes after it", 0, [] {}, true, {"job", "afterwards"}, nullptr},
        // The process would end if the constructor's exception escaped.
        {"no thread to be had", 1, [] {}, false, {}, "Test: flash worker could not start: "},
        {"the job throws a standard exception",
         0,
         [] { throw std::runtime_error("no memory left"); },
         true,
         {"job", "afterwards"},
         "Test: flash worker ended by an exception: no memory left"},
        {"the job throws something else",
         0,
         [] { throw 7; },
         true,
         {"job", "afterwards"},
         "Test: flash worker ended by an unknown exception"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        Events events;
        JobWorker worker("flash worker", "Test: ", failingFactory(c.threadFailures));
        const bool started = worker.start(
            [&] {
                events.note("job");
                c.job();
            },
            // Once the worker counts as idle.
            [&] { events.note(worker.busy() ? "afterwards, busy" : "afterwards"); });
        EXPECT_EQ(started, c.started) << c.name;
        worker.join();
        EXPECT_FALSE(worker.busy()) << c.name;
        EXPECT_EQ(events.all(), c.events) << c.name;
        EXPECT_EQ(log.count("", BaseLogger::ERROR), c.errorLine ? 1u : 0u) << c.name;
        if (c.errorLine) {
            EXPECT_EQ(log.count(c.errorLine, BaseLogger::ERROR), 1u) << c.name;
        }
        // Whichever way it ended, the worker takes the next job.
        EXPECT_TRUE(worker.start([&] { events.note("next"); })) << c.name;
        worker.join();
        EXPECT_EQ(events.all().back(), "next") << c.name;
    }
}

TEST(JobWorker, OneJobAtATimeAndTheEndedOneJoinedBeforeTheNext) {
    LogCapture log;
    Events events;
    Gate jobGoesOn;
    Gate afterwardsGoesOn;
    JobWorker worker("flash worker", "Test: ");
    ASSERT_TRUE(worker.start(
        [&] {
            jobGoesOn.pass();
            events.note("first job");
        },
        [&] {
            afterwardsGoesOn.pass();
            events.note("first ended");
        }));
    EXPECT_TRUE(worker.busy());
    EXPECT_FALSE(worker.start([&] { events.note("refused job"); }));
    EXPECT_TRUE(log.lines().empty());

    jobGoesOn.open();
    ASSERT_TRUE(eventually([&] { return !worker.busy(); }, 20s));
    // The first job's thread is still in its `afterwards`: the start is accepted and waits
    // for that thread before it makes the next.
    std::thread opener([&] {
        std::this_thread::sleep_for(10ms); // only widens the window; nothing is timed
        afterwardsGoesOn.open();
    });
    EXPECT_TRUE(worker.start([&] { events.note("second job"); }));
    opener.join();
    worker.join();
    EXPECT_EQ(events.all(), (std::vector<std::string>{"first job", "first ended", "second job"}));
}

TEST(JobWorker, DestructionWaitsForTheRunningJob) {
    Gate jobGoesOn;
    std::atomic<bool> ended{false};
    std::thread opener;
    {
        JobWorker worker("flash worker", "Test: ");
        ASSERT_TRUE(worker.start([&] { jobGoesOn.pass(); }, [&] { ended = true; }));
        opener = std::thread([&] {
            std::this_thread::sleep_for(10ms); // only widens the window; nothing is timed
            jobGoesOn.open();
        });
    }
    EXPECT_TRUE(ended);
    opener.join();
}

} // namespace
