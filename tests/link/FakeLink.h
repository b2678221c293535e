#pragma once

#include "link/LinkTypes.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace tavisk::test {

// A scripted link for the workers' own tests: writes answer from a script of statuses (then
// LINK_OK) and are recorded; reads wait on a condition variable for pushed bytes.
class FakeLink {
public:
    using Bytes = std::vector<std::uint8_t>;

    LinkStatus write(const void* data, std::uint64_t size) {
        std::unique_lock<std::mutex> lock(mutex);
        ++writersAtGate;
        changed.notify_all();
        changed.wait(lock, [this] { return !writeGate; });
        --writersAtGate;
        LinkStatus status = LINK_OK;
        if (!script.empty()) {
            status = script.front();
            script.pop_front();
        }
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        writes.emplace_back(bytes, bytes + size);
        statuses.push_back(status);
        ++writesStarted;
        changed.notify_all();
        return status;
    }

    IoResult read(void* buffer, std::uint64_t size, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        ++readersNow;
        maxReaders = std::max(maxReaders, readersNow);
        ++readCalls;
        changed.notify_all();
        IoResult r{LINK_NO_DATA, 0};
        if (unavailable) {
            r.status = LINK_UNAVAILABLE;
        } else if (changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [this] { return !incoming.empty() || unavailable; })) {
            if (unavailable) {
                r.status = LINK_UNAVAILABLE;
            } else {
                Bytes chunk = std::move(incoming.front());
                incoming.pop_front();
                const std::size_t n = std::min<std::size_t>(chunk.size(), size);
                std::memcpy(buffer, chunk.data(), n);
                if (n < chunk.size())
                    incoming.emplace_front(chunk.begin() + static_cast<long>(n), chunk.end());
                r = {LINK_OK, n};
            }
        }
        --readersNow;
        return r;
    }

    bool waitForReadyRead(std::uint64_t) { return true; }

    // Bytes for the next read (one read returns at most one pushed chunk).
    void push(Bytes bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        incoming.push_back(std::move(bytes));
        changed.notify_all();
    }
    void failNextWrites(std::deque<LinkStatus> statuses) {
        std::lock_guard<std::mutex> lock(mutex);
        script = std::move(statuses);
    }
    void setUnavailable(bool value) {
        std::lock_guard<std::mutex> lock(mutex);
        unavailable = value;
        changed.notify_all();
    }
    // While closed, writes wait at the gate.
    void closeWriteGate() {
        std::lock_guard<std::mutex> lock(mutex);
        writeGate = true;
    }
    void openWriteGate() {
        std::lock_guard<std::mutex> lock(mutex);
        writeGate = false;
        changed.notify_all();
    }
    // Waits until `pred` holds for the link's state (under its lock) or the deadline passes.
    template <typename Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, deadline, [&] { return pred(*this); });
    }
    std::vector<Bytes> written() {
        std::lock_guard<std::mutex> lock(mutex);
        return writes;
    }
    int maxConcurrentReaders() {
        std::lock_guard<std::mutex> lock(mutex);
        return maxReaders;
    }

    // Read only under the lock, inside waitFor predicates.
    std::vector<Bytes> writes;
    std::vector<LinkStatus> statuses;
    int writesStarted = 0;
    int writersAtGate = 0;
    int readersNow = 0;
    int readCalls = 0;
    bool writeGate = false;

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<LinkStatus> script;
    std::deque<Bytes> incoming;
    bool unavailable = false;
    int maxReaders = 0;
};

} // namespace tavisk::test
