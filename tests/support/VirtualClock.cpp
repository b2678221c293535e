#include "tests/support/VirtualClock.h"

namespace tavisk::test {

Clock::TimePoint VirtualClock::now() {
    std::lock_guard<std::mutex> lock(mutex);
    return time;
}

bool VirtualClock::sleepFor(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex);
    begun.push_back(duration.count());
    changed.notify_all();
    changed.wait(lock, [this] { return !held || cancelled; });
    if (cancelled)
        return false;
    time += duration;
    return true;
}

void VirtualClock::cancel() {
    std::lock_guard<std::mutex> lock(mutex);
    cancelled = true;
    changed.notify_all();
}

void VirtualClock::advance(std::chrono::nanoseconds by) {
    std::lock_guard<std::mutex> lock(mutex);
    time += std::chrono::duration_cast<TimePoint::duration>(by);
}

void VirtualClock::hold(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    held = on;
    changed.notify_all();
}

bool VirtualClock::waitForSleeps(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return begun.size() >= count; });
}

std::vector<long long> VirtualClock::sleeps() {
    std::lock_guard<std::mutex> lock(mutex);
    return begun;
}

void VirtualClock::clearSleeps() {
    std::lock_guard<std::mutex> lock(mutex);
    begun.clear();
}

} // namespace tavisk::test
