#include "core/Thread.h"
#include "tests/support/Eventually.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

using tavisk::test::LogCapture;
using namespace std::chrono_literals;

namespace {

// A worker whose loop body is given by the test; counts loops started and watches that
// no two loops ever run at once.
class Worker : public Thread {
public:
    explicit Worker(std::function<void(Worker&)> body = {}) : Thread("Worker: "), body(std::move(body)) {}
    ~Worker() override { terminate(); }

    std::atomic<int> loopsStarted{0};
    std::atomic<int> loopsRunning{0};
    std::atomic<int> mostAtOnce{0};
    std::atomic<int> turns{0};

    bool isRunning() const { return running; }
    bool isActive() const { return active; }
    std::thread::id threadId() const { return thread.get_id(); }

    bool waitForLoops(int n) {
        return tavisk::test::eventually([&] { return loopsStarted >= n; }, 20s, 1ms);
    }

protected:
    void run() override {
        ++loopsStarted;
        const int now = ++loopsRunning;
        int most = mostAtOnce;
        while (now > most && !mostAtOnce.compare_exchange_weak(most, now)) {
        }
        while (running) {
            ++turns;
            if (body)
                body(*this);
            else
                std::this_thread::sleep_for(1ms);
        }
        --loopsRunning;
    }

private:
    std::function<void(Worker&)> body;
};

} // namespace

TEST(Thread, StartStopTerminateAndTheirLines) {
    LogCapture capture;
    Worker worker;

    worker.terminate(); // never started: nothing to end, nothing logged
    worker.stop();      // not active: nothing logged
    EXPECT_TRUE(capture.lines().empty());

    worker.start(false);
    worker.start(false);
    ASSERT_TRUE(worker.waitForLoops(1));
    EXPECT_EQ(capture.count("Worker: Thread is started", BaseLogger::DEBUG), 1u);

    worker.stop();
    EXPECT_EQ(capture.count("Worker: Thread is stoped", BaseLogger::DEBUG), 1u);
    EXPECT_TRUE(worker.isRunning());
    EXPECT_FALSE(worker.isActive());

    // After stop the same loop resumes: no new thread.
    worker.start(false);
    EXPECT_EQ(capture.count("Worker: Thread is started"), 2u);
    EXPECT_TRUE(worker.isActive());

    worker.terminate();
    EXPECT_EQ(worker.loopsStarted, 1);
    EXPECT_EQ(worker.loopsRunning, 0); // joined
    EXPECT_EQ(capture.count("Worker: Thread is terminated", BaseLogger::DEBUG), 1u);

    worker.terminate();
    EXPECT_EQ(capture.count("Worker: Thread is terminated"), 1u);

    // After terminate a start runs a new thread.
    worker.start(false);
    ASSERT_TRUE(worker.waitForLoops(2));
    worker.terminate();
    EXPECT_EQ(worker.mostAtOnce, 1);
}

TEST(Thread, WorkerThatEndsItselfCanBeStartedAgain) {
    LogCapture capture;
    Worker worker([](Worker& self) { self.terminate(); });
    worker.start(false);
    ASSERT_TRUE(capture.waitForText("Worker: Thread is terminated"));

    worker.start(false);
    ASSERT_TRUE(worker.waitForLoops(2));
    ASSERT_TRUE(capture.waitForText("Worker: Thread is terminated", 2));
    worker.terminate();
    EXPECT_EQ(worker.mostAtOnce, 1);
    EXPECT_EQ(capture.count("Worker: Thread is started"), 2u);
}

TEST(Thread, SelfTerminationRacingStartLeavesExactlyOneLoop) {
    LogCapture capture;
    LoggerManager::getInstance().clearAllLoggers(); // thousands of lines are not the point here
    std::atomic<int> budget{0};
    Worker worker([&](Worker& self) {
        if (budget.fetch_sub(1) <= 0)
            self.terminate();
        else
            std::this_thread::yield();
    });
    for (int round = 0; round < 2000; ++round) {
        budget = round % 3;
        worker.start(false);
        if (round % 7 == 0)
            std::this_thread::yield();
    }
    // From now on no loop ends itself (a loop that already decided to may still end), so a
    // start must leave a worker that keeps turning: never one that is "active" without a thread.
    budget = 1 << 30;
    bool turning = false;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!turning && std::chrono::steady_clock::now() < deadline) {
        worker.start(false);
        const int before = worker.turns;
        turning = tavisk::test::eventually([&] { return worker.turns != before; }, 200ms, 1ms);
    }
    ASSERT_TRUE(turning);
    EXPECT_TRUE(worker.isActive() && worker.isRunning());
    worker.terminate();
    EXPECT_EQ(worker.mostAtOnce, 1);
    EXPECT_EQ(worker.loopsRunning, 0);
}

TEST(Thread, TerminateFromAnotherThreadWhileTheWorkerEndsItself) {
    LogCapture capture;
    LoggerManager::getInstance().clearAllLoggers();
    for (int round = 0; round < 300; ++round) {
        std::atomic<bool> go{false};
        Worker worker([&](Worker& self) {
            if (go)
                self.terminate();
        });
        worker.start(false);
        std::thread other([&] {
            go = true;
            worker.terminate();
        });
        other.join();
        worker.terminate();
        EXPECT_EQ(worker.loopsRunning, 0);
    }
}

TEST(Thread, DetachedWorkerIsNotWaitedFor) {
    LogCapture capture;
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<bool> finished{false};
    {
        Worker worker([&](Worker&) {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return release; });
        });
        worker.start(true);
        ASSERT_TRUE(worker.waitForLoops(1));
        worker.terminate(); // must return although the loop is blocked
        EXPECT_EQ(capture.count("Worker: Thread is terminated"), 1u);
        {
            std::lock_guard<std::mutex> lock(m);
            release = true;
        }
        cv.notify_all();
        // The object must outlive the detached loop.
        finished = tavisk::test::eventually([&] { return worker.loopsRunning == 0; }, 20s, 1ms);
    }
    EXPECT_TRUE(finished);
}
