#pragma once

#include <cstddef>
#include <cstdint>

// Frame layout of the payload protocol: 0x7E, length byte (payload bytes - 1), the payload,
// CRC-8 of the payload alone. No escaping; the length byte alone marks the end.
class PayloadFrame {
public:
    static constexpr std::uint8_t kStart = 0x7E;
    static constexpr std::size_t kMinPayload = 3; // pack number, address, command or status
    static constexpr std::size_t kMaxPayload = 255;
    static constexpr std::size_t kOverhead = 3;
    static constexpr std::size_t kMaxFrame = kMaxPayload + kOverhead;

    // Writes the frame of `length` payload bytes into `out` (room for kMaxFrame bytes) and
    // returns its size, or 0 when the length is outside kMinPayload..kMaxPayload.
    static std::size_t build(const void* payload, std::size_t length, std::uint8_t* out);
};
