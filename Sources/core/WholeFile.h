#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A file read into memory in one piece, refused when it is larger than its reader can take.
struct WholeFile {
    enum Status {
        READ,
        OPEN_FAILED,  // missing, not readable, or a folder
        SIZE_UNKNOWN, // opened, but its size could not be had
        TOO_LARGE,    // larger than the limit; nothing read
        READ_FAILED,  // fewer bytes than its size
    };

    Status status = OPEN_FAILED;
    std::uint64_t size = 0; // the file's size, once known (also when TOO_LARGE)
    std::vector<std::uint8_t> bytes;
};

// Reads the file named by `utf8Path` (UTF-8 on every system; a wide path on Windows) if it holds
// at most `maxSize` bytes.
WholeFile readWholeFile(const std::string& utf8Path, std::uint64_t maxSize);
