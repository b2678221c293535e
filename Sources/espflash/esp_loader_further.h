#pragma once

#include "espflash/loader_types.h"

#include <cstdint>

// The loader's operations that the program does not use; they complete the loader as a
// reusable layer. They share the connection with esp_loader.h and its rules.

// Connects and loads the flasher stub into RAM; on success the stub runs.
LoaderResult esp_loader_connect_with_stub(const loader_connect_args* args);
// Connects to a chip in secure download mode, where the flash size and the chip are given
// (CHIP_UNKNOWN: detect the chip).
LoaderResult esp_loader_connect_secure_download_mode(const loader_connect_args* args,
                                                     std::uint32_t flash_size, TargetChip target);
LoaderResult loader_run_stub(TargetChip target);

// Compressed writes: the caller sends deflate-compressed blocks of at most `block_size` bytes.
LoaderResult esp_loader_flash_deflate_start(std::uint32_t offset, std::uint32_t image_size,
                                            std::uint32_t compressed_size, std::uint32_t block_size);
LoaderResult esp_loader_flash_deflate_write(const void* data, std::uint32_t size);
LoaderResult esp_loader_flash_deflate_finish(bool reboot);

LoaderResult esp_loader_flash_erase();
LoaderResult esp_loader_flash_erase_region(std::uint32_t offset, std::uint32_t size);
LoaderResult esp_loader_flash_read(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length);

LoaderResult esp_loader_mem_start(std::uint32_t offset, std::uint32_t size, std::uint32_t block_size);
LoaderResult esp_loader_mem_write(const void* data, std::uint32_t size);
LoaderResult esp_loader_mem_finish(std::uint32_t entry);

LoaderResult esp_loader_read_mac(std::uint8_t* mac);
// Asks the chip to change its rate; the port's own rate never changes.
LoaderResult esp_loader_change_transmission_rate(std::uint32_t baudrate);
LoaderResult esp_loader_change_transmission_rate_stub(std::uint32_t old_baudrate, std::uint32_t new_baudrate);
// Forgets the stub (the next connection talks to the ROM) and resets the target through the port.
void esp_loader_reset_target();
