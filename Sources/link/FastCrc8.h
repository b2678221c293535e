#pragma once

#include <cstdint>

// CRC-8 of the payload protocol (reflected polynomial 0x8C, start value 0, no final XOR):
// one table lookup per byte. Also used for the checksum of a loaded firmware file.
struct FastCrc8 {
    // The CRC after feeding `count` bytes at `data` into a running value `crc`.
    static unsigned char update(unsigned char crc, void const* data, unsigned long long count);
};
