#include "QueueWakeup.h"

namespace PayloadProtocol {

std::mutex QueueWakeup::registryMutex;
std::map<const void*, std::weak_ptr<QueueWakeup>> QueueWakeup::registry;

std::shared_ptr<QueueWakeup> QueueWakeup::forEngine(const void* engine) {
    std::lock_guard<std::mutex> lock(registryMutex);
    // Drop the entries of engines whose workers are gone (an address may be reused).
    for (auto it = registry.begin(); it != registry.end();)
        it = it->second.expired() ? registry.erase(it) : std::next(it);
    auto& slot = registry[engine];
    std::shared_ptr<QueueWakeup> wakeup = slot.lock();
    if (!wakeup) {
        wakeup = std::make_shared<QueueWakeup>();
        slot = wakeup;
    }
    return wakeup;
}

void QueueWakeup::notify() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        notified = true;
    }
    condition.notify_one();
}

void QueueWakeup::waitFor(std::chrono::microseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    condition.wait_for(lock, timeout, [this] { return notified; });
    notified = false;
}

} // namespace PayloadProtocol
