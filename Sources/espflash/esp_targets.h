#pragma once

#include "espflash/loader_types.h"

#include <cstdint>

// The chips of the family that the loader recognises, and how to reach each one's SPI flash
// controller, eFuses and pin configuration.
struct esp_target_row {
    std::uint32_t cmd;
    std::uint32_t usr;
    std::uint32_t usr1;
    std::uint32_t usr2;
    std::uint32_t w0;
    std::uint32_t mosi_dlen;
    std::uint32_t miso_dlen;
    std::uint32_t efuse_base;
    const std::uint32_t* magic_values;
    std::uint8_t magic_count;
    std::uint32_t mac_efuse_offset;
    std::uint32_t chip_id;
    LoaderResult (*read_spi_config)(std::uint32_t efuse_base, std::uint32_t* configuration);
    bool encryption_in_begin_flash_cmd;
};

constexpr std::uint32_t ESP_TARGET_COUNT = 10;
// The register whose value tells the chips apart; every chip of the family answers a read of it.
constexpr std::uint32_t ESP_CHIP_DETECT_REGISTER = 0x40001000;

TargetChip target_from_chip_id(std::uint32_t chip_id);
// Null for CHIP_UNKNOWN or any index outside the table.
const esp_target_row* get_esp_target_data(TargetChip target);
// False for a chip outside the table.
bool encryption_in_begin_flash_cmd(TargetChip target);
// LOADER_BAD_TARGET for a chip outside the table.
LoaderResult loader_read_spi_config(TargetChip target, std::uint32_t* configuration);
// Asks the chip for its security information: the chip, its revision and the security flags.
LoaderResult loader_read_security_info(loader_security_info* info);
// Asks the chip who it is: the security query, else the magic register, else the P4 check.
LoaderResult loader_detect_chip(TargetChip* target, const esp_target_row** row);

LoaderResult spi_config_esp32(std::uint32_t efuse_base, std::uint32_t* configuration);
LoaderResult spi_config_esp32xx(std::uint32_t efuse_base, std::uint32_t* configuration);
LoaderResult spi_config_unsupported(std::uint32_t efuse_base, std::uint32_t* configuration);
