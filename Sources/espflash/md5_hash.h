#pragma once

#include <cstddef>
#include <cstdint>

// MD5 (RFC 1321) for checking flash read back while the flasher stub runs. In a namespace of
// its own so that it never clashes with the same names exported by system libraries.
namespace tavisk_md5 {

struct MD5Context {
    std::uint32_t state[4];
    std::uint64_t count; // bytes hashed so far
    std::uint8_t buffer[64];
};

void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const std::uint8_t* data, std::size_t size);
void MD5Final(std::uint8_t digest[16], MD5Context* context);
// One 64-byte block into the state.
void MD5Transform(std::uint32_t state[4], const std::uint8_t block[64]);

} // namespace tavisk_md5
