#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class LoggerManager;

// Runs one job at a time on a thread of its own (the ESP32 flash, the reconnect after a
// reboot). A start while a job runs is refused; the thread of a job that has ended is joined
// before the next one starts, and by the destructor. A thread that cannot be made, or an
// exception that escapes the job, would end the process: each is an ERROR line instead.
//
// start(), join() and the destructor are called on one thread (the GUI thread), never on the
// worker's own (a thread cannot join itself); busy() from any thread.
class JobWorker {
public:
    using Body = std::function<void()>;
    // Makes the thread that runs `body`; throws, as std::thread's constructor does
    // (std::system_error), when none can be made. Tests inject that failure here.
    using ThreadFactory = std::function<std::thread(Body body)>;

    // `name` and `prefix` make the ERROR lines: "<prefix><name> could not start: ...".
    JobWorker(std::string name, std::string prefix, ThreadFactory makeThread = {});
    // join().
    ~JobWorker();
    JobWorker(const JobWorker&) = delete;
    JobWorker& operator=(const JobWorker&) = delete;

    // Runs `job` on a new thread, then `afterwards`, when given, on the same thread once the
    // worker is idle again: a start that sees the job's end (from `afterwards` on, or what it
    // lets another thread see) is accepted, and waits for `afterwards` to return. False while
    // a job runs (nothing logged) and when no thread could be made (an ERROR line).
    bool start(Body job, Body afterwards = {});
    // A job runs: from an accepted start until `job` has returned.
    bool busy() const { return running.load(); }
    // Waits for the thread of the last job, `afterwards` included, to end.
    void join();

private:
    void run(const Body& job, const Body& afterwards);
    // Runs `body`; what it throws becomes an ERROR line.
    void guarded(const Body& body);

    std::string name;
    std::string prefix;
    ThreadFactory makeThread;
    LoggerManager* logger;
    std::atomic<bool> running{false};
    std::thread thread; // made and joined on the controlling thread only
};
