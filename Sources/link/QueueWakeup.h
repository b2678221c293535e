#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

namespace PayloadProtocol {

// Wakes the sender of one protocol engine as soon as a frame may have been queued, so that a
// frame need not wait for the sender's next look at the queue. Whoever queues on the engine
// (the sender's request operations, the listener after an answer that chained a request)
// notifies; the sender waits here between its looks. The sender still looks at least every
// millisecond, so a frame queued without a notification is never stuck.
//
// One wake-up exists per engine for as long as someone holds it; forEngine() finds it by the
// engine's address.
class QueueWakeup {
public:
    static std::shared_ptr<QueueWakeup> forEngine(const void* engine);

    void notify();
    // Returns at the next notify() (or one that came since the last wait), or after `timeout`.
    void waitFor(std::chrono::microseconds timeout);

private:
    // Guards `notified`; the condition variable waits on it.
    std::mutex mutex;
    std::condition_variable condition;
    bool notified = false;

    // Guards the registry of wake-ups by engine address.
    static std::mutex registryMutex;
    static std::map<const void*, std::weak_ptr<QueueWakeup>> registry;
};

} // namespace PayloadProtocol
