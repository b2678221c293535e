#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavisk::sim {

// The image that a test on one side of a line uploads and a simulated beacon in another
// process expects (scripts/test-windows serves the beacon to the tests under wine): every
// byte value, in an order that changes from one 256-byte block to the next.
inline std::vector<std::uint8_t> sharedTestImage(std::size_t size = 3000) {
    std::vector<std::uint8_t> image(size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return image;
}

} // namespace tavisk::sim
