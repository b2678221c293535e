#pragma once

#include "control/Sleeper.h"

#include <condition_variable>
#include <mutex>

// Sleeps on the steady clock; a wake-up before the time is up sleeps on until it is.
class SteadySleeper : public Sleeper {
public:
    bool sleepFor(std::chrono::milliseconds duration) override;
    void cancel() override;

private:
    // Guards `cancelled`; the sleeping thread waits on `changed`.
    std::mutex mutex;
    std::condition_variable changed;
    bool cancelled = false;
};
