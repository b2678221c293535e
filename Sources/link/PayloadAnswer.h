#pragma once

#include "link/DeviceInfo.h"
#include "link/FieldInfo.h"

#include <cstddef>
#include <cstdint>

// The layouts of the payload protocol's answers, read from the bytes of one payload without
// acting on them. Answers carry no command byte: the engine picks the layout by the command of
// its last request. A position that a short answer does not carry reads as zero, never as a
// byte of an earlier frame.
namespace PayloadAnswer {

// The bytes of one answer payload; the caller keeps them alive.
struct Bytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

    // The byte at `index`, or 0 past the end.
    std::uint8_t at(std::size_t index) const { return index < size ? data[index] : 0; }
};

// What every answer begins with.
struct Header {
    std::uint8_t pack = 0;
    std::uint8_t address = 0;
    std::uint8_t status = 0; // 0: success, else the device's error code
};

// A field's value as a value answer carries it: as many bytes as the widest field type.
struct FieldValue {
    std::uint8_t bytes[8] = {};
};

struct FileInfo {
    std::uint32_t size = 0;
    std::uint32_t checksum = 0;
};

Header header(Bytes answer);
// The identity record; a name length beyond the 62 characters the record holds is cut there.
DeviceInfo deviceInfo(Bytes answer);
// A field's description; a name longer than 62 characters is left out (length 0).
FieldInfo fieldInfo(Bytes answer);
FieldValue fieldValue(Bytes answer);
FileInfo fileInfo(Bytes answer);

} // namespace PayloadAnswer
