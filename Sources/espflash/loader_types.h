#pragma once

#include <cstdint>

// The types that every layer of the ROM-loader client shares, from the port hooks up to the
// operations.

// Result of every loader operation and port hook.
enum LoaderResult : std::int32_t {
    LOADER_OK = 0,
    LOADER_FAIL = 1,
    LOADER_TIMEOUT = 2,
    LOADER_IMAGE_TOO_LARGE = 3,
    LOADER_MD5_MISMATCH = 4,
    LOADER_BAD_PARAM = 5,
    LOADER_BAD_TARGET = 6,
    LOADER_UNSUPPORTED_CHIP = 7,
    LOADER_UNSUPPORTED_OP = 8,
    LOADER_BAD_RESPONSE = 9,
};

// The chip index of the loader's tables.
enum TargetChip : std::uint32_t {
    CHIP_ESP8266 = 0,
    CHIP_ESP32 = 1,
    CHIP_ESP32S2 = 2,
    CHIP_ESP32C3 = 3,
    CHIP_ESP32S3 = 4,
    CHIP_ESP32C2 = 5,
    CHIP_ESP32C5 = 6,
    CHIP_ESP32H2 = 7,
    CHIP_ESP32C6 = 8,
    CHIP_ESP32P4 = 9,
    CHIP_UNKNOWN = 10,
};

struct loader_connect_args {
    std::uint32_t sync_timeout_ms; // deadline of one SYNC attempt
    std::uint32_t trials;          // number of SYNC attempts, at least 1
};

struct loader_security_info {
    std::uint32_t target; // a TargetChip
    std::uint32_t eco_version;
    std::uint8_t flags[12];
};
