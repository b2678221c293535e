#pragma once

#include "core/Clock.h"

#include <condition_variable>
#include <mutex>

// The steady clock. A wake-up before the time is up (also one by a signal) sleeps on until
// it is.
class SteadyClock : public Clock {
public:
    TimePoint now() override;
    bool sleepFor(std::chrono::milliseconds duration) override;
    void cancel() override;

private:
    // Guards `cancelled`; sleeping threads wait on `changed`.
    std::mutex mutex;
    std::condition_variable changed;
    bool cancelled = false;
};
