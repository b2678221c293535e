#pragma once

#include "core/Clock.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace tavisk::test {

// A clock that moves only by its sleeps and by the test, for the timing of the loader's hooks,
// of the reconnect and of the upload's answers: every sleep is recorded and returns at once,
// moving the time on by its duration. A held clock keeps its sleepers waiting until it is
// released or cancelled, so that a test can look at a worker in the middle of a pause.
// Thread-safe.
class VirtualClock : public Clock {
public:
    TimePoint now() override;
    bool sleepFor(std::chrono::milliseconds duration) override;
    void cancel() override;

    void advance(std::chrono::nanoseconds by);
    void hold(bool on);
    // Waits (at most 20 s) until `count` sleeps have begun.
    bool waitForSleeps(std::size_t count);
    // The sleeps begun so far, in milliseconds, in order.
    std::vector<long long> sleeps();
    void clearSleeps();

private:
    // Guards everything below; sleepers and waitForSleeps wait on `changed`.
    std::mutex mutex;
    std::condition_variable changed;
    // An hour past the epoch, so that a time before a start is still a time.
    TimePoint time{std::chrono::hours(1)};
    std::vector<long long> begun;
    bool held = false;
    bool cancelled = false;
};

} // namespace tavisk::test
