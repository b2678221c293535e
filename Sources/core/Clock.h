#pragma once

#include <chrono>

// The time and the pauses of a worker: the loader's port hooks (deadlines, poll and settle
// delays) and the reconnect after a reboot; and the time by which the STM32 upload finds an
// answer overdue. Tests put a virtual clock in its place, so that
// timing is checked exactly and at once.
//
// now() and sleepFor() may be called from several threads; cancel() from any thread.
class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Clock();
    virtual TimePoint now() = 0;
    // Sleeps the whole duration; false when cancel() cut it short or came before it.
    virtual bool sleepFor(std::chrono::milliseconds duration) = 0;
    // Ends the sleep in progress and every later one at once, for good.
    virtual void cancel() = 0;
};
