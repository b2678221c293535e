#pragma once

#include "espflash/esp_targets.h"
#include "espflash/loader_types.h"

#include <cstdint>

// The loader's connection to one chip: the state that its operations share (those the program
// calls in esp_loader, the others in esp_loader_further) and the steps that both take. Callers
// of the loader use esp_loader.h.

struct loader_connection {
    // The detected chip and its table row, set together by loader_set_target, so that a row is
    // there exactly when the chip is known.
    TargetChip target = CHIP_UNKNOWN;
    const esp_target_row* reg = nullptr;
    std::uint32_t flash_size = 0;       // 0: not yet detected on this connection
    std::uint32_t flash_write_size = 0; // the block size of the write in progress
};

// The process-wide connection: one operation at a time, on one thread.
loader_connection& loader_current();

// The deadline of a command that does not depend on a size.
constexpr std::uint32_t LOADER_COMMAND_TIMEOUT_MS = 1000;
// A data packet carries four words before the block in a 16-bit size field.
constexpr std::uint32_t LOADER_MAX_BLOCK_SIZE = 0xFFFF - 16;

// Sets the chip and its row (none for CHIP_UNKNOWN).
void loader_set_target(TargetChip target);
// Asks the chip who it is; sets it only when it was recognised.
LoaderResult loader_detect_target();
// The SYNC attempts, then the detection.
LoaderResult loader_sync_and_detect(const loader_connect_args* args);
// Attaches the SPI flash with the pin configuration (the ESP8266: an empty FLASH_BEGIN).
LoaderResult loader_attach_flash(std::uint32_t configuration);

LoaderResult loader_write_register(std::uint32_t address, std::uint32_t value);
LoaderResult loader_read_register(std::uint32_t address, std::uint32_t* value);
// The flash chip's size from its identification, read through the chip's SPI controller.
LoaderResult loader_detect_flash_size(std::uint32_t* size);
// The largest size of the detection's table.
std::uint32_t loader_largest_flash_size();
// Tells the chip the flash geometry, with the size detected once per connection (2 MiB, with a
// debug line, when detection fails).
LoaderResult loader_send_flash_parameters();
// The geometry sent, then the range [offset, offset + size) checked against the flash.
LoaderResult loader_parameters_for_range(std::uint32_t offset, std::uint32_t size);
// What the plain and the compressed write share once the range is checked: the erase size, the
// number of blocks of `data_size` and the begin command under the erase deadline.
LoaderResult loader_begin_flash_write(bool deflate, std::uint32_t offset, std::uint32_t size,
                                      std::uint32_t data_size, std::uint32_t block_size);
// A data command (`opcode`, sent by `command`) tried up to three times, each attempt under its
// own deadline; after an attempt that timed out a fence goes first (see loader_fence_cmd).
LoaderResult loader_send_with_attempts(std::uint8_t opcode, std::uint32_t timeout,
                                       LoaderResult (*command)(const std::uint8_t* data, std::uint32_t size),
                                       const std::uint8_t* data, std::uint32_t size);
// At least 3000 ms, else the given time truncated.
std::uint32_t loader_minimum_timeout(double ms);
// The deadline of erasing `bytes` of flash: 10 s per MB.
std::uint32_t loader_erase_timeout(std::uint32_t bytes);
