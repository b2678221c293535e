#pragma once

#include <cstdint>

// Identity record of one device, as its device-information answer carries it.
struct DeviceInfo {
    std::uint8_t address = 0;
    std::uint8_t versionMajor = 0;
    std::uint8_t versionMinor = 0;
    std::uint8_t reserved1[2] = {};
    std::uint8_t fieldCount = 0;
    std::uint8_t reserved2[4] = {};
    std::uint8_t nameLength = 0;
    char name[63] = {}; // at most 62 characters, then a NUL
};
