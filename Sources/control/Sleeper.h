#pragma once

#include <chrono>

// The pauses of a worker. Tests put a virtual clock in its place, so that a worker's timing
// is checked exactly and at once.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    // Sleeps the whole duration; false when cancel() cut it short or came before it.
    virtual bool sleepFor(std::chrono::milliseconds duration) = 0;
    // Ends the sleep in progress and every later one at once.
    virtual void cancel() = 0;
};
