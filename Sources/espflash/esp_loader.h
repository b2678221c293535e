#pragma once

#include <cstddef>
#include <cstdint>

// Client of the ESP32 ROM serial bootloader: the operations that the flasher front calls.
// Free functions over process-wide state; one operation at a time, on one thread.

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

// Enters the bootloader, synchronises, detects the chip and attaches the SPI flash.
LoaderResult esp_loader_connect(const loader_connect_args* args);
TargetChip esp_loader_get_target();
LoaderResult esp_loader_get_security_info(loader_security_info* info);
LoaderResult esp_loader_read_register(std::uint32_t address, std::uint32_t* value);
LoaderResult esp_loader_write_register(std::uint32_t address, std::uint32_t value);

// Reads the flash chip's identification through the chip's SPI controller.
LoaderResult esp_loader_flash_detect_size(std::uint32_t* size);
// Opens a write of `size` bytes at `offset` in blocks of `block_size` (the ROM erases the region).
LoaderResult esp_loader_flash_start(std::uint32_t offset, std::uint32_t size, std::uint32_t block_size);
// Sends one block; `buffer` must hold the whole block size, the part after `size` is filled
// with 0xFF.
LoaderResult esp_loader_flash_write(void* buffer, std::uint32_t size);
LoaderResult esp_loader_flash_finish(bool reboot);
// The MD5 of `size` bytes of flash at `address`, as the chip computes it, into 16 bytes.
// LOADER_UNSUPPORTED_OP for the ESP8266's ROM, which has no such command.
LoaderResult esp_loader_flash_md5(std::uint32_t address, std::uint32_t size, std::uint8_t* digest);

// Operations that the application does not use; they complete the loader as a reusable layer.

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
void esp_loader_reset_target();

bool esp_stub_get_running();
void esp_stub_set_running(bool running);
