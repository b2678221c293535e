#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace tavisk::test {

// The outcome of a function run in a forked child process.
struct ChildResult {
    bool exited = false;   // ended through exit/_exit
    int exitStatus = -1;   // when exited
    int signal = 0;        // when killed by a signal
    bool timedOut = false; // killed by runInChild after the deadline
    std::string out;       // what it wrote to standard output
    std::string err;       // what it wrote to standard error
};

// Runs body in a child process with standard output and error captured; the child ends with
// body's return value (through _exit, so no exit handlers of the test process run twice).
// A child that outlives the deadline is killed and reported as timed out.
ChildResult runInChild(const std::function<int()>& body,
                       std::chrono::milliseconds deadline = std::chrono::seconds(60));

// A fresh private folder below the system's temporary folder, removed by the destructor.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return folder; }

private:
    std::string folder;
};

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);

// The lines of a start-up log with their timestamps cut off ("[LEVEL] [domain] message").
std::string withoutTimestamps(const std::string& log);

} // namespace tavisk::test
