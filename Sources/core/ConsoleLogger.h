#pragma once

#include "core/BaseLogger.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

// Coloured lines (ANSI SGR sequences) on standard output. Reached through LoggerManager only.
class ConsoleLogger : public BaseLogger {
public:
    struct LogDescriptor {
        std::string label;
        std::uint8_t attribute = 0;
        std::uint8_t foreground = 0;
        std::uint8_t background = 0;
    };

    static ConsoleLogger& getInstance();

    void log(const std::string& message, MessageType type, const std::string& prefix) override;

    // The line without its newline, exactly as log() writes it.
    static std::string formatLine(const TimeDescription& when, const LogDescriptor& descriptor,
                                  const std::string& message, const std::string& prefix);

    ~ConsoleLogger() override;
    ConsoleLogger(const ConsoleLogger&) = delete;
    ConsoleLogger& operator=(const ConsoleLogger&) = delete;

private:
    ConsoleLogger();

    std::map<MessageType, LogDescriptor> descriptors;
    // Serialises log(): one whole line at a time on standard output.
    std::mutex mutex;
};
