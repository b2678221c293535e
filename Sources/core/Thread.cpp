#include "core/Thread.h"

#include <system_error>
#include <utility>

Thread::Thread(std::string name) : logger(&LoggerManager::getInstance()), name(std::move(name)) {}

Thread::~Thread() {
    terminate();
}

void Thread::joinOutsideLock(std::unique_lock<std::mutex>& lock) {
    // Only called with `running` clear, so the thread is leaving its loop.
    if (!thread.joinable() || thread.get_id() == std::this_thread::get_id())
        return;
    std::thread finishing = std::move(thread);
    joining = true;
    joiningId = finishing.get_id();
    lock.unlock();
    finishing.join();
    lock.lock();
    joining = false;
    joiningId = std::thread::id();
    joined.notify_all();
}

void Thread::waitForJoin(std::unique_lock<std::mutex>& lock) {
    if (std::this_thread::get_id() != joiningId)
        joined.wait(lock, [this] { return !joining; });
}

void Thread::start(bool detach) {
    std::unique_lock<std::mutex> lock(controlMutex);
    waitForJoin(lock);
    detached = detach;
    if (active)
        return;
    active = true;
    if (!running) {
        // A worker that ended itself left a finished thread behind: collect it first, so
        // that exactly one loop runs after this start.
        joinOutsideLock(lock);
        running = true;
        if (!thread.joinable()) {
            try {
                thread = std::thread([this] { run(); });
            } catch (const std::system_error&) {
                running = false;
                active = false;
                throw;
            }
            if (detached)
                thread.detach();
        }
    }
    logger->log("Thread is started", BaseLogger::DEBUG, name);
}

void Thread::stop() {
    std::lock_guard<std::mutex> lock(controlMutex);
    if (active) {
        active = false;
        logger->log("Thread is stoped", BaseLogger::DEBUG, name);
    }
}

void Thread::terminate() {
    std::unique_lock<std::mutex> lock(controlMutex);
    waitForJoin(lock);
    if (!running && !active) {
        // Nothing to end, but a thread that ended itself may still wait to be collected.
        joinOutsideLock(lock);
        return;
    }
    running = false;
    active = false;
    if (!detached)
        joinOutsideLock(lock);
    logger->log("Thread is terminated", BaseLogger::DEBUG, name);
}
