#include "platform/ModuleOfAddress.h"

namespace {

// Reads a hexadecimal number at text[at]; false when there is no digit.
bool readHex(const char* text, std::size_t length, std::size_t& at, std::uintptr_t& value) {
    value = 0;
    const std::size_t start = at;
    for (; at < length; ++at) {
        const char c = text[at];
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0)
            break;
        value = (value << 4) | static_cast<std::uintptr_t>(digit);
    }
    return at > start;
}

void skipBlanks(const char* text, std::size_t length, std::size_t& at) {
    while (at < length && (text[at] == ' ' || text[at] == '\t'))
        ++at;
}

void skipField(const char* text, std::size_t length, std::size_t& at) {
    while (at < length && text[at] != ' ' && text[at] != '\t')
        ++at;
    skipBlanks(text, length, at);
}

// Copies text[0, length) into out (capacity ModuleOfAddress::kPathCapacity, NUL-terminated);
// a text that does not fit keeps its end, so that the file name survives.
void copyPath(const char* text, std::size_t length, char* out) {
    constexpr std::size_t room = ModuleOfAddress::kPathCapacity - 1;
    std::size_t at = 0;
    if (length > room) {
        while (at < 3)
            out[at++] = '.';
        text += length - (room - at);
        length = room - at;
    }
    for (std::size_t i = 0; i < length; ++i)
        out[at++] = text[i];
    out[at] = '\0';
}

bool samePath(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

} // namespace

void ModuleOfAddress::addLine(const char* text, std::size_t length) {
    if (finished)
        return;
    // start-end perms offset dev inode [path]
    std::size_t at = 0;
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    std::uintptr_t fileOffset = 0;
    if (!readHex(text, length, at, start) || at >= length || text[at] != '-')
        return;
    ++at;
    if (!readHex(text, length, at, end))
        return;
    skipBlanks(text, length, at);
    skipField(text, length, at); // permissions
    if (!readHex(text, length, at, fileOffset))
        return;
    skipBlanks(text, length, at);
    skipField(text, length, at); // device
    skipField(text, length, at); // inode
    const char* pathText = text + at;
    const std::size_t pathLength = length - at;

    char path[kPathCapacity];
    copyPath(pathText, pathLength, path);
    if (fileOffset == 0 && pathLength > 0) {
        copyPath(pathText, pathLength, basePath);
        base = start;
    }
    if (address < start || address >= end)
        return;
    finished = true;
    // An anonymous mapping (code made at run time) has no module; neither has a file whose
    // start was not mapped before this part of it.
    if (pathLength == 0 || basePath[0] == '\0' || !samePath(path, basePath))
        return;
    copyPath(pathText, pathLength, modulePath);
    moduleOffset = address - base;
    known = true;
}
