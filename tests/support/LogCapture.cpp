#include "tests/support/LogCapture.h"

#include "core/LoggerManager.h"

#include <iostream>
#include <streambuf>

namespace tavisk::test {

// A streambuf that takes whole writes under its own mutex and wakes waiting readers.
class LogCapture::Buffer : public std::streambuf {
public:
    std::string snapshot() const {
        std::lock_guard<std::mutex> lock(mutex);
        return data;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        data.clear();
    }
    template <typename Pred> bool waitUntil(Pred pred, std::chrono::milliseconds deadline) const {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, deadline, [&] { return pred(data); });
    }

protected:
    int_type overflow(int_type ch) override {
        if (ch != traits_type::eof()) {
            char c = static_cast<char>(ch);
            append(&c, 1);
        }
        return traits_type::not_eof(ch);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        append(s, static_cast<std::size_t>(n));
        return n;
    }

private:
    void append(const char* s, std::size_t n) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            data.append(s, n);
        }
        changed.notify_all();
    }
    mutable std::mutex mutex; // guards data
    mutable std::condition_variable changed;
    std::string data;
};

namespace {
std::vector<LogLine> parseAll(const std::string& data) {
    std::vector<LogLine> result;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = data.find('\n', start);
        if (end == std::string::npos)
            break;
        LogLine line;
        if (parseConsoleLine(data.substr(start, end - start), line))
            result.push_back(std::move(line));
        start = end + 1;
    }
    return result;
}

BaseLogger::MessageType typeOf(const std::string& label) {
    if (label == "INFO")
        return BaseLogger::INFO;
    if (label == "WARNING")
        return BaseLogger::WARNING;
    if (label == "ERROR")
        return BaseLogger::ERROR;
    if (label == "DEBUG")
        return BaseLogger::DEBUG;
    return BaseLogger::FATAL;
}
} // namespace

bool parseConsoleLine(const std::string& line, LogLine& out) {
    // ESC[a;b;cm[time, d/m/y][LABEL]text [LABEL]ESC[0m
    if (line.size() < 2 || line[0] != '\x1b')
        return false;
    std::size_t pos = line.find('m');
    if (pos == std::string::npos || pos + 1 >= line.size() || line[pos + 1] != '[')
        return false;
    pos = line.find(']', pos + 1);
    if (pos == std::string::npos || pos + 1 >= line.size() || line[pos + 1] != '[')
        return false;
    const std::size_t labelEnd = line.find(']', pos + 2);
    if (labelEnd == std::string::npos)
        return false;
    const std::string label = line.substr(pos + 2, labelEnd - pos - 2);
    const std::string tail = " [" + label + "]\x1b[0m";
    if (line.size() < labelEnd + 1 + tail.size() ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    out.type = typeOf(label);
    out.text = line.substr(labelEnd + 1, line.size() - tail.size() - labelEnd - 1);
    return true;
}

LogCapture::LogCapture() : buffer(std::make_unique<Buffer>()) {
    LoggerManager& manager = LoggerManager::getInstance();
    manager.setActiveLoggers({LoggerManager::CONSOLE});
    manager.setGlobalLevel(LoggerManager::FULL);
    previous = std::cout.rdbuf(buffer.get());
}

LogCapture::~LogCapture() {
    LoggerManager::getInstance().clearAllLoggers();
    std::cout.rdbuf(previous);
}

std::vector<LogLine> LogCapture::lines() const {
    return parseAll(buffer->snapshot());
}

std::vector<std::string> LogCapture::texts() const {
    std::vector<std::string> out;
    for (const LogLine& line : lines())
        out.push_back(line.text);
    return out;
}

std::size_t LogCapture::count(const std::string& fragment) const {
    std::size_t n = 0;
    for (const LogLine& line : lines())
        n += line.text.find(fragment) != std::string::npos;
    return n;
}

std::size_t LogCapture::count(const std::string& fragment, BaseLogger::MessageType type) const {
    std::size_t n = 0;
    for (const LogLine& line : lines())
        n += line.type == type && line.text.find(fragment) != std::string::npos;
    return n;
}

std::size_t LogCapture::countWhole(const std::string& text, BaseLogger::MessageType type) const {
    std::size_t n = 0;
    for (const LogLine& line : lines())
        n += line.type == type && line.text == text;
    return n;
}

std::string LogCapture::raw() const {
    return buffer->snapshot();
}

void LogCapture::clear() {
    buffer->clear();
}

bool LogCapture::waitFor(const std::function<bool(const std::vector<LogLine>&)>& pred,
                         std::chrono::milliseconds deadline) const {
    return buffer->waitUntil([&](const std::string& data) { return pred(parseAll(data)); }, deadline);
}

bool LogCapture::waitForText(const std::string& fragment, std::size_t times,
                             std::chrono::milliseconds deadline) const {
    return waitFor(
        [&](const std::vector<LogLine>& all) {
            std::size_t n = 0;
            for (const LogLine& line : all)
                n += line.text.find(fragment) != std::string::npos;
            return n >= times;
        },
        deadline);
}

void LogCapture::printTail(std::ostream& out, std::size_t count) const {
    const auto all = texts();
    for (std::size_t i = all.size() > count ? all.size() - count : 0; i < all.size(); ++i)
        out << "log: " << all[i] << "\n";
}

} // namespace tavisk::test
