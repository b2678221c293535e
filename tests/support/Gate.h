#pragma once

#include <condition_variable>
#include <mutex>

namespace tavisk::test {

// Holds a thread at a point (pass) until the test lets it go on (open); once open, it stays
// open.
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            opened = true;
        }
        changed.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return opened; });
    }

private:
    // Guards `opened`; a thread in pass() waits on `changed`.
    std::mutex mutex;
    std::condition_variable changed;
    bool opened = false;
};

} // namespace tavisk::test
