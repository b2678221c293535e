#pragma once

#include <cstdint>

// Description of one device field: its type code (which fixes the value size) and its name.
struct FieldInfo {
    std::uint8_t type = 0;
    std::uint8_t nameLength = 0;
    char name[63] = {}; // at most 62 characters, then a NUL; zero after it
};
