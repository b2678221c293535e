#pragma once

#include "core/Clock.h"
#include "core/JobWorker.h"

#include <chrono>
#include <functional>
#include <memory>

// After a device reboot, the serial link is closed and opened again on a worker thread of its
// own: wait for the device to go down, stop the protocol workers, close the link, then try to
// open it again every 200 ms, up to 30 times; once it is open, give the device time to come up,
// start the workers again and search. A reconnect that gives up leaves the link closed and
// the workers stopped, without a line.
//
// schedule() and cancelAndJoin() are called on one thread (the GUI thread). Its pauses are
// those of the clock it is given; tests give it a virtual one.
class ReconnectJob {
public:
    struct Steps {
        std::function<void()> stopWorkers;    // end the sender and the listener, reset the engine
        std::function<void()> disconnect;     // close the link
        std::function<bool()> connect;        // one try to open it again; true when it is open
        std::function<void()> restartWorkers; // start the listener and the sender, search
        // Optional: the run has ended, by any way out; runs on the worker once inProgress()
        // is false.
        std::function<void()> finished;
    };

    ReconnectJob(Steps steps, std::unique_ptr<Clock> clock);
    // Cuts a running reconnect short and joins it.
    ~ReconnectJob();
    ReconnectJob(const ReconnectJob&) = delete;
    ReconnectJob& operator=(const ReconnectJob&) = delete;

    // Starts a reconnect; false while one runs (one at a time).
    bool schedule();
    bool inProgress() const { return worker.busy(); }
    // Cuts the running reconnect short at its next pause (for good: later ones end at once)
    // and joins the worker.
    void cancelAndJoin();

private:
    static constexpr int kTries = 30;
    static constexpr std::chrono::milliseconds kRebootDelay{300};
    static constexpr std::chrono::milliseconds kAfterClose{150};
    static constexpr std::chrono::milliseconds kBetweenTries{200};
    static constexpr std::chrono::milliseconds kAfterOpen{150};
    static constexpr std::chrono::milliseconds kSettle{500};

    void run();

    Steps steps;
    std::unique_ptr<Clock> clock;
    // Last: joined before the steps and the clock go.
    JobWorker worker;
};
