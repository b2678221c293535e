#pragma once

#include "espflash/loader_types.h"

#include <cstdint>

// The flasher stub per chip, indexed by TargetChip: an entry point and two segments (code,
// then data) that the ROM loads into RAM.
struct esp_stub_segment {
    std::uint32_t address;
    std::uint32_t size;
    const std::uint8_t* data;
};

struct esp_stub_row {
    std::uint32_t header;
    std::uint32_t entry;
    esp_stub_segment segment[2];
};

// Null for a chip outside the table; a row of zeros for a chip without a stub.
const esp_stub_row* get_esp_stub(TargetChip target);
// Whether the chip has a stub image at all.
bool esp_stub_available(TargetChip target);
