#pragma once

#include "core/BaseLogger.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace tavisk::test {

// One captured log line: its kind and the text after the label (prefix + message).
struct LogLine {
    BaseLogger::MessageType type = BaseLogger::DEBUG;
    std::string text;
};

// Captures what components log, for tests. While alive it routes the console logger to
// itself (standard output is redirected to a thread-safe buffer), sets the level FULL and
// makes the console the only active logger; the destructor clears the loggers and restores
// standard output. Safe to read while worker threads log.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    std::vector<std::string> texts() const;
    // Lines whose text contains the fragment (and, if given, of that kind).
    std::size_t count(const std::string& fragment) const;
    std::size_t count(const std::string& fragment, BaseLogger::MessageType type) const;
    bool contains(const std::string& fragment) const { return count(fragment) > 0; }
    // Lines of that kind whose text (prefix and message) is exactly `text`: for the lines that
    // people and scripts match whole, where a longer line is a fault.
    std::size_t countWhole(const std::string& text, BaseLogger::MessageType type) const;
    // The raw bytes written to standard output so far.
    std::string raw() const;
    void clear();
    // Writes the last `count` texts to `out`, one a line with "log: " in front: for a test
    // that failed, since the capture hides them otherwise.
    void printTail(std::ostream& out, std::size_t count) const;

    // Waits until pred(lines) holds or the deadline passes; returns whether it held.
    bool waitFor(const std::function<bool(const std::vector<LogLine>&)>& pred,
                 std::chrono::milliseconds deadline = std::chrono::seconds(20)) const;
    // Waits until a line containing the fragment has been logged `times` times.
    bool waitForText(const std::string& fragment, std::size_t times = 1,
                     std::chrono::milliseconds deadline = std::chrono::seconds(20)) const;

private:
    class Buffer;
    std::unique_ptr<Buffer> buffer;
    std::streambuf* previous = nullptr;
};

// Parses one console line (without its newline) into kind and text; false if it is not one.
bool parseConsoleLine(const std::string& line, LogLine& out);

} // namespace tavisk::test
