#include "control/SteadySleeper.h"

bool SteadySleeper::sleepFor(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    std::unique_lock<std::mutex> lock(mutex);
    return !changed.wait_until(lock, until, [this] { return cancelled; });
}

void SteadySleeper::cancel() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
    }
    changed.notify_all();
}
