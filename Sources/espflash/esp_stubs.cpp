#include "espflash/esp_stubs.h"

namespace {
// PLACEHOLDERS: this project carries no real stub images. Each array only has the size of the
// real segment, so that loading runs the same commands; a chip that ran these zeros would not
// answer with the greeting, and stub loading fails with LOADER_BAD_RESPONSE.
const std::uint8_t kESP32StubText[12884] = {};
const std::uint8_t kESP32StubData[468] = {};
const std::uint8_t kESP32S2StubText[11416] = {};
const std::uint8_t kESP32S2StubData[520] = {};
const std::uint8_t kESP32C3StubText[11176] = {};
const std::uint8_t kESP32C3StubData[244] = {};
const std::uint8_t kESP32S3StubText[13864] = {};
const std::uint8_t kESP32S3StubData[3952] = {};
const std::uint8_t kESP32C2StubText[10072] = {};
const std::uint8_t kESP32C2StubData[404] = {};
const std::uint8_t kESP32H2StubText[10728] = {};
const std::uint8_t kESP32H2StubData[384] = {};
const std::uint8_t kESP32C6StubText[16420] = {};
const std::uint8_t kESP32C6StubData[384] = {};

const esp_stub_row esp_stub[10] = {
    {0, 0, {{0, 0, nullptr}, {0, 0, nullptr}}},
    {0, 0x400822B4, {{0x40080000, 12884, kESP32StubText}, {0x3FFB0000, 468, kESP32StubData}}},
    {0, 0x40029D34, {{0x40028000, 11416, kESP32S2StubText}, {0x3FFBC400, 520, kESP32S2StubData}}},
    {0, 0x40380000, {{0x40380000, 11176, kESP32C3StubText}, {0x3FC90020, 244, kESP32C3StubData}}},
    {0, 0x4037AFA4, {{0x40378000, 13864, kESP32S3StubText}, {0x3FC90020, 3952, kESP32S3StubData}}},
    {0, 0x40380000, {{0x40380000, 10072, kESP32C2StubText}, {0x3FCB0020, 404, kESP32C2StubData}}},
    {0, 0, {{0, 0, nullptr}, {0, 0, nullptr}}},
    {0, 0x40800000, {{0x40800000, 10728, kESP32H2StubText}, {0x408029E8, 384, kESP32H2StubData}}},
    {0, 0x40800000, {{0x40800000, 16420, kESP32C6StubText}, {0x40804024, 384, kESP32C6StubData}}},
    {0, 0, {{0, 0, nullptr}, {0, 0, nullptr}}},
};
} // namespace

const esp_stub_row* get_esp_stub(TargetChip target) {
    return target < 10 ? &esp_stub[target] : nullptr;
}

bool esp_stub_available(TargetChip target) {
    const esp_stub_row* row = get_esp_stub(target);
    return row != nullptr && row->segment[0].size != 0;
}
