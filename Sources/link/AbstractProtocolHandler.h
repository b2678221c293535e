#pragma once

#include "link/QueueItem.h"

#include <cstdint>
#include <deque>
#include <string>

// A protocol engine as the sender sees it: an outgoing queue of ready frames.
class AbstractProtocolHandler {
public:
    virtual ~AbstractProtocolHandler();

    virtual std::uint8_t getType() = 0;
    virtual std::uint64_t getQueueSize() = 0;
    // Copies `size` frame bytes into a new item at the back of the queue.
    virtual void addToQueue(void const* data, unsigned long long size, unsigned int timeoutMs) = 0;
    // A copy of the front item; an empty item when the queue is empty.
    virtual QueueItem fetchToQueue() = 0;
    // Drops the front item; nothing when the queue is empty.
    virtual void freeFrontFromQueue() = 0;
    // Empties the queue when `force` or when it has grown to 26 items.
    virtual void clearQueue(bool force) = 0;
    virtual void logMessage(std::string& message) = 0;

protected:
    std::deque<QueueItem> queue;
};
