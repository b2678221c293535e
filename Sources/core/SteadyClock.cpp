#include "core/SteadyClock.h"

Clock::TimePoint SteadyClock::now() {
    return std::chrono::steady_clock::now();
}

bool SteadyClock::sleepFor(std::chrono::milliseconds duration) {
    const TimePoint until = now() + duration;
    std::unique_lock<std::mutex> lock(mutex);
    return !changed.wait_until(lock, until, [this] { return cancelled; });
}

void SteadyClock::cancel() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
    }
    changed.notify_all();
}
