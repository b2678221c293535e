#pragma once

#include <cstdint>
#include <memory>

// One outgoing frame with the reply timeout the listener waits with while it is on the link.
// The bytes are shared: a copy handed out by fetchToQueue stays valid even when the queue
// drops the item meanwhile (clearQueue from another thread).
struct QueueItem {
    std::shared_ptr<const std::uint8_t[]> data;
    std::uint64_t size = 0;
    std::uint32_t timeoutMs = 0;

    const std::uint8_t* bytes() const { return data.get(); }
    bool empty() const { return size == 0; }
};
