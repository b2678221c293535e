#pragma once

#include <cstddef>
#include <cstdint>

// Finds, in the lines of a Linux process memory map (/proc/<pid>/maps, in address order), the
// module that holds an address: the file of the mapping that contains it, and the address's
// offset from the start of that file's mapping at file offset 0, where the loader put the
// module's ELF header (what dladdr reports as dli_fbase). No allocation, no I/O, no locale:
// a crash handler feeds it line by line.
class ModuleOfAddress {
public:
    // A longer path keeps its end, after "...", NUL included.
    static constexpr std::size_t kPathCapacity = 320;

    explicit ModuleOfAddress(std::uintptr_t address) : address(address) {}

    // One line of the map, without its newline. Lines after the one that holds the address
    // change nothing.
    void addLine(const char* text, std::size_t length);
    // The line holding the address has been seen: later lines need not be read.
    bool done() const { return finished; }
    // The address lies in a mapped file whose load address is known.
    bool found() const { return known; }
    const char* path() const { return modulePath; }
    std::uintptr_t offset() const { return moduleOffset; }

private:
    const std::uintptr_t address;
    bool finished = false;
    bool known = false;
    std::uintptr_t moduleOffset = 0;
    char modulePath[kPathCapacity] = {};
    // The file mapped last at file offset 0, and where.
    char basePath[kPathCapacity] = {};
    std::uintptr_t base = 0;
};
