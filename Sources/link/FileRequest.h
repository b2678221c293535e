#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A file to send to a file number on a device. The engine copies what it needs.
struct FileRequest {
    std::uint8_t address = 0;
    std::uint8_t index = 0; // file number on the device; 0 is the STM32 image
    std::string path;       // UTF-8
    // The file's bytes, when the caller has read them already (the upload reads its image
    // before anything is sent); null: the engine reads `path`.
    std::shared_ptr<const std::vector<std::uint8_t>> image;
};
