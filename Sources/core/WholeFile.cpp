#include "core/WholeFile.h"

#include <new>
#include <stdexcept>

std::string WholeFile::cause(std::uint64_t limit) const {
    switch (status) {
    case READ:
        return {};
    case MISSING:
        return "the file does not exist";
    case NOT_REGULAR:
        return "not a regular file but " + reason;
    case OPEN_FAILED:
        return "the file cannot be opened (" + reason + ")";
    case SIZE_UNKNOWN:
        return "the file's size cannot be read (" + reason + ")";
    case TOO_LARGE:
        return "the file holds " + std::to_string(size) + " bytes, more than the " + std::to_string(limit) +
               " bytes allowed";
    case READ_FAILED:
        return "the file cannot be read (" + reason + ")";
    case NO_MEMORY:
        return "the file's " + std::to_string(size) + " bytes do not fit in memory";
    }
    return "unknown failure";
}

WholeFile::Step WholeFile::failedStep(Status status) {
    switch (status) {
    case READ:
        return Step::NONE;
    case MISSING:
    case NOT_REGULAR:
    case OPEN_FAILED:
        return Step::OPEN;
    case SIZE_UNKNOWN:
        return Step::SIZE;
    case TOO_LARGE:
        return Step::LIMIT;
    case READ_FAILED:
    case NO_MEMORY:
        return Step::READ;
    }
    return Step::READ;
}

bool WholeFile::makeRoom() {
    try {
        bytes.resize(static_cast<std::size_t>(size));
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    std::vector<std::uint8_t>().swap(bytes);
    status = NO_MEMORY;
    return false;
}
