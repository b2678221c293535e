#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// The abstract logger behind LoggerManager: one call, one line of text.
class BaseLogger {
public:
    enum MessageType : std::uint8_t { DEBUG = 0, INFO = 1, WARNING = 2, ERROR = 3, FATAL = 4 };

    // Local date and time of one line, as the line and the log file name write it.
    struct TimeDescription {
        std::string day;   // "5", "15": no leading zero
        std::string month; // "Jan" ... "Dec", whatever the locale
        std::string year;  // four digits
        std::string time;  // "hh:mm:ss", 24-hour clock

        // Fills all four fields from the current time.
        void updateTime();
        // Fills all four fields from the given instant (local time).
        void updateTime(std::time_t instant);
    };

    virtual void log(const std::string& message, MessageType type, const std::string& prefix) = 0;
    virtual ~BaseLogger();
};
