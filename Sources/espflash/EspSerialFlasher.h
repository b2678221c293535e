#pragma once

#include "core/WholeFile.h"
#include "espflash/loader_types.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class UsbCommunication;

// The flasher front: loads an image file and writes it into the ESP32's flash through the ROM
// bootloader, over the connected device link.
namespace TaviskEspSerialFlasher {

struct FlashOptions {
    std::uint32_t offset = 0;       // flash address of the image, a multiple of 4
    std::uint32_t blockSize = 1024; // bytes per data block; below 256 is raised to 256
    bool reboot = false;            // false: the ROM stays in the loader after the write
};

// The largest image the flasher takes: the largest flash the loader can find on a chip
// (checked against the loader's table by the tests). A larger file is not read at all.
constexpr std::uint64_t kMaxImageSize = 256ull * 1024 * 1024;

// What a loader result means, for the line beside a failure's number: "an invalid argument".
std::string meaningOf(LoaderResult result);
// A loader failure's text, as scripts match it: "esp_loader_flash_start failed: 5".
std::string loaderFailureText(const char* operation, LoaderResult result);
// The text for an image file that could not be taken, by how its read ended (READ: it is
// empty): "Can't open file: <path>", "File is empty or size is invalid: <path>" or "Can't read
// file: <path>".
std::string imageFileText(WholeFile::Status status, const std::string& path);

// Whether the loader takes an image of `size` bytes with these options. When it would refuse
// it, false: `why` (when not null) says what it would refuse ("its size of 1001 bytes is not a
// multiple of 4") and `refusal` (when not null) the result it would answer. Checked before the
// device is asked to switch its ESP32 to the bootloader.
bool acceptsImage(std::uint64_t size, const FlashOptions& options, std::string* why,
                  LoaderResult* refusal = nullptr);

// True when every block was written and the chip's MD5 of the written range equals the
// image's (a failed final FLASH_END still counts as written; a chip whose ROM loader has no MD5
// command is trusted with a WARNING line). `progress` gets the percentage after each block, at
// most 99, and 100 once the image is verified; on failure `error`, when not null, gets the text.
// The link stays connected afterwards. One flash at a time in the process.
bool flashBinary(UsbCommunication& usb, const std::string& path, const FlashOptions& options,
                 const std::function<void(unsigned char)>& progress, std::string* error);

// As flashBinary, for an image already in memory (the caller read and checked the file before
// anything was sent to the device).
bool flashImage(UsbCommunication& usb, const std::vector<std::uint8_t>& image, const FlashOptions& options,
                const std::function<void(unsigned char)>& progress, std::string* error);

} // namespace TaviskEspSerialFlasher
