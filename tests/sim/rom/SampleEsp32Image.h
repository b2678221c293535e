#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavisk::sim {

// An image that a simulated ROM loader takes for an ESP32 application: it starts with the
// image magic 0xE9, and its bytes change from one 1 KiB block to the next, so a block written
// in the wrong place shows.
inline std::vector<std::uint8_t> sampleEsp32Image(std::size_t size) {
    std::vector<std::uint8_t> image(size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<std::uint8_t>(i * 13 + i / 1024);
    if (!image.empty())
        image[0] = 0xE9;
    return image;
}

} // namespace tavisk::sim
