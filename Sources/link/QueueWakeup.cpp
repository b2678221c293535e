#include "link/QueueWakeup.h"

namespace PayloadProtocol {

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
