#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace PayloadProtocol {

// Wakes the sender as soon as a frame has been queued, so that a frame never waits for the
// sender's next look at the queue and an idle sender need not look every millisecond. The
// protocol engine owns one and notifies it from every path that queues a frame (the sender's
// requests, answer processing that chains the next request, the main window's own calls).
class QueueWakeup {
public:
    void notify();
    // Returns at the next notify() (or at once if one came since the last wait), or after
    // `timeout`.
    void waitFor(std::chrono::microseconds timeout);

private:
    // Guards `notified`; the condition variable waits on it.
    std::mutex mutex;
    std::condition_variable condition;
    bool notified = false;
};

} // namespace PayloadProtocol
