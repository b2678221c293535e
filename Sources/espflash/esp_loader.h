#pragma once

#include "espflash/loader_types.h"

#include <cstdint>

// Client of the ESP32 ROM serial bootloader: the operations that the flasher front calls.
// Free functions over process-wide state; one operation at a time, on one thread. The
// operations that the program does not use are in esp_loader_further.h.

// Enters the bootloader, synchronises, detects the chip and attaches the SPI flash.
LoaderResult esp_loader_connect(const loader_connect_args* args);
TargetChip esp_loader_get_target();
LoaderResult esp_loader_get_security_info(loader_security_info* info);
LoaderResult esp_loader_read_register(std::uint32_t address, std::uint32_t* value);
LoaderResult esp_loader_write_register(std::uint32_t address, std::uint32_t value);

// Reads the flash chip's identification through the chip's SPI controller.
LoaderResult esp_loader_flash_detect_size(std::uint32_t* size);
// The flash size that this connection's write was measured against: 0 before one was asked.
std::uint32_t esp_loader_flash_size();
// The largest flash size that detection can report: no image beyond it fits any chip.
std::uint32_t esp_loader_largest_flash_size();
// The largest block esp_loader_flash_start takes.
std::uint32_t esp_loader_max_block_size();
// Opens a write of `size` bytes at `offset` in blocks of `block_size` (the ROM erases the region).
LoaderResult esp_loader_flash_start(std::uint32_t offset, std::uint32_t size, std::uint32_t block_size);
// Sends one block; `buffer` must hold the whole block size, the part after `size` is filled
// with 0xFF.
LoaderResult esp_loader_flash_write(void* buffer, std::uint32_t size);
LoaderResult esp_loader_flash_finish(bool reboot);
// The MD5 of `size` bytes of flash at `address`, as the chip computes it, into 16 bytes.
// LOADER_UNSUPPORTED_OP for the ESP8266's ROM, which has no such command.
LoaderResult esp_loader_flash_md5(std::uint32_t address, std::uint32_t size, std::uint8_t* digest);
