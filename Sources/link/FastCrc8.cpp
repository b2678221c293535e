#include "link/FastCrc8.h"

#include <array>

namespace {

constexpr std::array<unsigned char, 256> makeTable() {
    std::array<unsigned char, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1U) ? (value >> 1) ^ 0x8CU : value >> 1;
        table[i] = static_cast<unsigned char>(value);
    }
    return table;
}

} // namespace

unsigned char FastCrc8::update(unsigned char crc, void const* data, unsigned long long count) {
    static constexpr std::array<unsigned char, 256> table = makeTable();
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (unsigned long long i = 0; i < count; ++i)
        crc = table[crc ^ bytes[i]];
    return crc;
}
