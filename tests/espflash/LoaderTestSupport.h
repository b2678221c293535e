#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavisk::test {

using Bytes = std::vector<std::uint8_t>;

// A response packet: direction, opcode, size, value word, data, status bytes.
inline Bytes responsePacket(std::uint8_t opcode, std::uint32_t value, const Bytes& data, const Bytes& status,
                            std::uint8_t direction = 0x01) {
    Bytes p{direction, opcode, static_cast<std::uint8_t>(data.size() + status.size()), 0};
    for (int i = 0; i < 4; ++i)
        p.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    p.insert(p.end(), data.begin(), data.end());
    p.insert(p.end(), status.begin(), status.end());
    return p;
}

// The packet framed for the wire (written here on purpose without the production SLIP code).
inline Bytes slipFrame(const Bytes& packet) {
    Bytes w{0xC0};
    for (std::uint8_t b : packet) {
        if (b == 0xC0) {
            w.push_back(0xDB);
            w.push_back(0xDC);
        } else if (b == 0xDB) {
            w.push_back(0xDB);
            w.push_back(0xDD);
        } else {
            w.push_back(b);
        }
    }
    w.push_back(0xC0);
    return w;
}

// Lower-case hexadecimal text, as the flasher front writes digests.
inline std::string hexText(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

inline Bytes le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

} // namespace tavisk::test
