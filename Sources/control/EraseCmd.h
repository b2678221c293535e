#pragma once

#include <cstdint>

// The codes that a device takes in its field "erase"; each erases one file on the device.
enum EraseCmd : std::uint32_t {
    ERASE_FILE_0 = 0x2C71D94A,
    ERASE_FILE_1 = 0x6E0B35F2,
    ERASE_FILE_2 = 0xA4D8127C,
};

// The file number that a code erases; a value outside the table counts as file 0.
inline std::uint8_t eraseFileNumber(EraseCmd cmd) {
    switch (cmd) {
    case ERASE_FILE_1:
        return 1;
    case ERASE_FILE_2:
        return 2;
    default:
        return 0;
    }
}
