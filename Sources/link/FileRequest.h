#pragma once

#include <cstdint>
#include <string>

// A file to send to a file number on a device. The engine copies what it needs.
struct FileRequest {
    std::uint8_t address = 0;
    std::uint8_t index = 0; // file number on the device; 0 is the STM32 image
    std::string path;       // UTF-8
};
