#pragma once

#include "core/LoggerManager.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

// Base of the long-lived workers. The derived run() loops while `running` is set and does
// its work while `active` is set; the base never interrupts it.
//
// Every derived class must call terminate() in its own destructor: the base destructor runs
// after the derived members are gone, too late to stop a run() that still uses them.
class Thread {
public:
    explicit Thread(std::string name);
    virtual ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Makes the worker active; creates its thread when none is running. Virtual so that a
    // worker which must order its starts with its own ending (the serial listener) is started
    // the same way through a Thread reference.
    virtual void start(bool detach);
    // Makes the worker inactive; the thread keeps looping.
    void stop();
    // Ends the worker: clears both flags and joins the thread. Called from run() itself, it
    // only clears the flags; the finished thread is joined by the next start or terminate.
    void terminate();

protected:
    virtual void run() = 0;

    std::atomic<bool> running{false};
    std::atomic<bool> active{false};
    std::atomic<bool> detached{false};
    LoggerManager* logger;
    std::thread thread;
    std::string name;

private:
    void joinOutsideLock(std::unique_lock<std::mutex>& lock);

    // Serialises start, stop and terminate, so that a worker ending itself cannot race a
    // start from another thread. Never held while joining: the worker may be inside
    // terminate() itself. `joining` keeps a start out until the old thread is gone.
    std::mutex controlMutex;
    std::condition_variable joined;
    bool joining = false;
    std::thread::id joiningId; // the thread being joined, which may itself call terminate()
    void waitForJoin(std::unique_lock<std::mutex>& lock);
};
