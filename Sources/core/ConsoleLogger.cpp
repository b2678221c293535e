#include "core/ConsoleLogger.h"

#include <iostream>

ConsoleLogger& ConsoleLogger::getInstance() {
    static ConsoleLogger instance;
    return instance;
}

ConsoleLogger::ConsoleLogger() {
    descriptors[DEBUG] = {"DEBUG", 1, 34, 49};
    descriptors[INFO] = {"INFO", 1, 32, 49};
    descriptors[WARNING] = {"WARNING", 1, 33, 49};
    descriptors[ERROR] = {"ERROR", 1, 31, 49};
}

ConsoleLogger::~ConsoleLogger() = default;

std::string ConsoleLogger::formatLine(const TimeDescription& when, const LogDescriptor& descriptor,
                                      const std::string& message, const std::string& prefix) {
    std::string line;
    line.reserve(64 + prefix.size() + message.size());
    // SGR parameters in the order attribute, background, foreground.
    line += "\x1b[";
    line += std::to_string(descriptor.attribute);
    line += ';';
    line += std::to_string(descriptor.background);
    line += ';';
    line += std::to_string(descriptor.foreground);
    line += 'm';
    line += '[' + when.time + ", " + when.day + '/' + when.month + '/' + when.year + ']';
    line += '[' + descriptor.label + ']';
    line += prefix;
    line += message;
    line += " [" + descriptor.label + ']';
    line += "\x1b[0m";
    return line;
}

void ConsoleLogger::log(const std::string& message, MessageType type, const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex);
    TimeDescription when;
    when.updateTime();
    // A kind without a descriptor gets an empty one, so it is written uncoloured with empty labels.
    const LogDescriptor& descriptor = descriptors[type];
    std::cout << formatLine(when, descriptor, message, prefix) << '\n';
    std::cout.flush();
}
