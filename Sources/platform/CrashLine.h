#pragma once

#include <cstddef>
#include <cstdint>

// Builds one start-up log line in a fixed buffer without allocating, locking or touching the
// locale, so that crash handlers can use it inside a signal handler. Text that does not fit is
// cut; the line always ends with a newline.
class CrashLine {
public:
    static constexpr std::size_t kCapacity = 512;
    // "YYYY-MM-DDTHH:MM:SSZ"
    static constexpr std::size_t kTimestampLength = 20;

    CrashLine& append(const char* text);
    CrashLine& appendDecimal(std::uint64_t value);
    // Lower-case hexadecimal without leading zeros, with or without "0x" in front.
    CrashLine& appendHex(std::uint64_t value, bool prefix);

    // Starts a line "<UTC time of seconds> [level] [domain] ".
    static CrashLine begin(std::int64_t unixSeconds, const char* level, const char* domain);
    // Writes the UTC time of the instant (seconds since 1970) into out, which must hold
    // kTimestampLength characters; no terminating NUL.
    static void formatTimestamp(std::int64_t unixSeconds, char* out);

    // The finished line, newline included.
    const char* data();
    std::size_t size();

private:
    void put(char c);

    char buffer[kCapacity];
    std::size_t length = 0;
    bool finished = false;
};
