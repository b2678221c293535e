#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A file read into memory in one piece, refused when it is larger than its reader can take.
// Only a regular file is read, and it is opened without waiting: a FIFO, a device or a folder
// named as an image is refused at once instead of keeping the reader in open() or read().
struct WholeFile {
    enum Status {
        READ,
        MISSING,      // no such file (or a folder on its path is missing)
        NOT_REGULAR,  // a folder, a FIFO, a device node or a socket: `reason` says which
        OPEN_FAILED,  // it exists but cannot be opened (permissions, ...)
        SIZE_UNKNOWN, // opened, but its size could not be had
        TOO_LARGE,    // larger than the limit; nothing read
        READ_FAILED,  // a read failed, or the file ended before its size
        NO_MEMORY,    // within the limit, but there is not that much memory to read it into
    };

    // The step of a read that failed, for the lines that name it: the open (missing, not a
    // regular file, refused), the size (unknown), the limit, the read itself (failed, or no
    // memory for it); NONE for a file that was read.
    enum class Step { NONE, OPEN, SIZE, LIMIT, READ };
    static Step failedStep(Status status);

    Status status = MISSING;
    std::uint64_t size = 0; // the file's size, once known (also when TOO_LARGE)
    std::vector<std::uint8_t> bytes;
    // The system's text of the failure, or what the entry is (NOT_REGULAR: "a FIFO", ...).
    std::string reason;

    // Why the file could not be read, for a log line ("not a regular file but a FIFO", ...);
    // `limit` is the one the read was made with. Empty when it was read.
    std::string cause(std::uint64_t limit) const;
    // For the readers: makes `bytes` as large as `size`; false, with the status NO_MEMORY,
    // when the memory cannot be had.
    bool makeRoom();
};

// Reads the file named by `utf8Path` (UTF-8 on every system; a wide path on Windows) if it is
// a regular file of at most `maxSize` bytes. The type is checked before the open and again on
// the open descriptor, so an entry swapped meanwhile is refused too.
WholeFile readWholeFile(const std::string& utf8Path, std::uint64_t maxSize);
