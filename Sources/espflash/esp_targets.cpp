#include "espflash/esp_targets.h"

#include "espflash/loader_port.h"
#include "espflash/protocol_serial.h"

namespace {
const std::uint32_t kMagic8266[] = {0xFFF0C101};
const std::uint32_t kMagic32[] = {0x00F01D83};
const std::uint32_t kMagicS2[] = {0x000007C6};
const std::uint32_t kMagicC3[] = {0x6921506F, 0x1B31506F, 0x4881606F, 0x4361606F};
const std::uint32_t kMagicS3[] = {0x00000009};
const std::uint32_t kMagicC2[] = {0x6F51306F, 0x7C41A06F, 0x0C21E06F};
const std::uint32_t kMagicC5[] = {0x1101406F, 0x5FD1406F};
const std::uint32_t kMagicH2[] = {0xD7B73E80};
const std::uint32_t kMagicC6[] = {0x2CE0806F};

constexpr std::uint32_t kSecurityInfoTimeoutMs = 100;
constexpr std::uint32_t kP4CheckRegister = 0x500D0000;
constexpr std::uint32_t kP4CheckValue = 0x02207202;

#define TAVISK_MAGIC(list) list, static_cast<std::uint8_t>(sizeof(list) / sizeof(list[0]))

const esp_target_row esp_target[ESP_TARGET_COUNT] = {
    {0x60000200, 0x6000021C, 0x60000220, 0x60000224, 0x60000240, 0, 0, 0, TAVISK_MAGIC(kMagic8266), 0, 0xFF,
     nullptr, false},
    {0x3FF42000, 0x3FF4201C, 0x3FF42020, 0x3FF42024, 0x3FF42080, 0x3FF42028, 0x3FF4202C, 0x3FF5A000,
     TAVISK_MAGIC(kMagic32), 0x04, 0, spi_config_esp32, false},
    {0x3F402000, 0x3F402018, 0x3F40201C, 0x3F402020, 0x3F402058, 0x3F402024, 0x3F402028, 0x3F41A000,
     TAVISK_MAGIC(kMagicS2), 0x44, 2, spi_config_esp32xx, true},
    {0x60002000, 0x60002018, 0x6000201C, 0x60002020, 0x60002058, 0x60002024, 0x60002028, 0x60008800,
     TAVISK_MAGIC(kMagicC3), 0x44, 5, spi_config_esp32xx, true},
    {0x60002000, 0x60002018, 0x6000201C, 0x60002020, 0x60002058, 0x60002024, 0x60002028, 0x60007000,
     TAVISK_MAGIC(kMagicS3), 0x44, 9, spi_config_esp32xx, true},
    {0x60002000, 0x60002018, 0x6000201C, 0x60002020, 0x60002058, 0x60002024, 0x60002028, 0x60008800,
     TAVISK_MAGIC(kMagicC2), 0x40, 12, spi_config_unsupported, true},
    {0x60003000, 0x60003018, 0x6000301C, 0x60003020, 0x60003058, 0x60003024, 0x60003028, 0x600B4800,
     TAVISK_MAGIC(kMagicC5), 0x44, 23, spi_config_unsupported, true},
    {0x60003000, 0x60003018, 0x6000301C, 0x60003020, 0x60003058, 0x60003024, 0x60003028, 0x600B0800,
     TAVISK_MAGIC(kMagicH2), 0x44, 16, spi_config_unsupported, true},
    {0x60003000, 0x60003018, 0x6000301C, 0x60003020, 0x60003058, 0x60003024, 0x60003028, 0x600B0800,
     TAVISK_MAGIC(kMagicC6), 0x44, 13, spi_config_unsupported, true},
    {0x5008D000, 0x5008D018, 0x5008D01C, 0x5008D020, 0x5008D058, 0x5008D024, 0x5008D028, 0x5012D000, nullptr,
     0, 0x44, 18, spi_config_esp32xx, true},
};

#undef TAVISK_MAGIC

LoaderResult read_register(std::uint32_t address, std::uint32_t* value) {
    loader_port_start_timer(LOADER_REGISTER_TIMEOUT_MS);
    return loader_read_reg_cmd(address, value);
}
} // namespace

TargetChip target_from_chip_id(std::uint32_t chip_id) {
    for (std::uint32_t i = 0; i < ESP_TARGET_COUNT; ++i) {
        if (esp_target[i].chip_id == chip_id)
            return static_cast<TargetChip>(i);
    }
    return CHIP_UNKNOWN;
}

const esp_target_row* get_esp_target_data(TargetChip target) {
    return target < ESP_TARGET_COUNT ? &esp_target[target] : nullptr;
}

bool encryption_in_begin_flash_cmd(TargetChip target) {
    const esp_target_row* row = get_esp_target_data(target);
    return row != nullptr && row->encryption_in_begin_flash_cmd;
}

LoaderResult loader_read_spi_config(TargetChip target, std::uint32_t* configuration) {
    const esp_target_row* row = get_esp_target_data(target);
    if (row == nullptr)
        return LOADER_BAD_TARGET;
    if (configuration == nullptr)
        return LOADER_BAD_PARAM;
    if (row->read_spi_config == nullptr) {
        *configuration = 0;
        return LOADER_OK;
    }
    return row->read_spi_config(row->efuse_base, configuration);
}

LoaderResult spi_config_unsupported(std::uint32_t, std::uint32_t* configuration) {
    *configuration = 0;
    return LOADER_OK;
}

LoaderResult spi_config_esp32xx(std::uint32_t efuse_base, std::uint32_t* configuration) {
    *configuration = 0;
    std::uint32_t w1 = 0;
    std::uint32_t w2 = 0;
    LoaderResult r = read_register(efuse_base + 0x48, &w1);
    if (r != LOADER_OK)
        return r;
    r = read_register(efuse_base + 0x4C, &w2);
    if (r != LOADER_OK)
        return r;
    *configuration = ((w1 >> 16) | (w2 << 16)) & 0x3FFFFFFF;
    return LOADER_OK;
}

LoaderResult spi_config_esp32(std::uint32_t efuse_base, std::uint32_t* configuration) {
    *configuration = 0;
    std::uint32_t w5 = 0;
    std::uint32_t w3 = 0;
    LoaderResult r = read_register(efuse_base + 0x14, &w5);
    if (r != LOADER_OK)
        return r;
    r = read_register(efuse_base + 0x0C, &w3);
    if (r != LOADER_OK)
        return r;
    const std::uint32_t pins = w5 & 0xFFFFF;
    if (pins == 0 || pins == 0xFFFFF)
        return LOADER_OK;
    // Pin numbers from 30 up skip the two that the chip does not bring out.
    const auto pin = [](std::uint32_t n) { return n >= 30 ? n + 2 : n; };
    const std::uint32_t clk = pin(pins & 0x1F);
    const std::uint32_t q = pin((pins >> 5) & 0x1F);
    const std::uint32_t d = pin((pins >> 10) & 0x1F);
    const std::uint32_t cs = pin((pins >> 15) & 0x1F);
    const std::uint32_t hd = pin((w3 >> 4) & 0x1F);
    if (cs == clk || d == clk || q == clk || cs == q || d == q)
        return LOADER_OK;
    *configuration = hd << 24 | cs << 18 | d << 12 | q << 6 | clk;
    return LOADER_OK;
}

LoaderResult loader_read_security_info(loader_security_info* info) {
    std::uint8_t data[20] = {};
    std::uint32_t length = 0;
    loader_port_start_timer(kSecurityInfoTimeoutMs);
    const LoaderResult r = loader_get_security_info_cmd(data, &length);
    if (r != LOADER_OK)
        return r;
    const auto word = [&data](int at) {
        return static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8 |
               static_cast<std::uint32_t>(data[at + 2]) << 16 |
               static_cast<std::uint32_t>(data[at + 3]) << 24;
    };
    if (length == 20) {
        info->target = target_from_chip_id(word(12));
        info->eco_version = word(16);
    } else if (length == 12) {
        info->target = CHIP_ESP32S2;
        info->eco_version = 0;
    } else {
        return LOADER_BAD_RESPONSE;
    }
    const std::uint32_t flags = word(0);
    for (int i = 0; i <= 8; ++i)
        info->flags[i] = (flags >> i) & 1;
    unsigned bits = 0;
    for (int i = 5; i <= 11; ++i) {
        for (std::uint8_t b = data[i]; b != 0; b &= static_cast<std::uint8_t>(b - 1))
            ++bits;
    }
    info->flags[9] = bits % 2;
    info->flags[10] = (flags >> 9) & 1;
    info->flags[11] = (flags >> 10) & 1;
    return LOADER_OK;
}

LoaderResult loader_detect_chip(TargetChip* target, const esp_target_row** row) {
    loader_security_info info{};
    if (loader_read_security_info(&info) == LOADER_OK) {
        const esp_target_row* found = get_esp_target_data(static_cast<TargetChip>(info.target));
        if (found == nullptr)
            return LOADER_BAD_TARGET;
        *target = static_cast<TargetChip>(info.target);
        *row = found;
        return LOADER_OK;
    }

    std::uint32_t magic = 0;
    LoaderResult r = read_register(ESP_CHIP_DETECT_REGISTER, &magic);
    if (r != LOADER_OK)
        return r;
    for (std::uint32_t i = 0; i < ESP_TARGET_COUNT; ++i) {
        for (std::uint8_t m = 0; m < esp_target[i].magic_count; ++m) {
            if (esp_target[i].magic_values[m] == magic) {
                *target = static_cast<TargetChip>(i);
                *row = &esp_target[i];
                return LOADER_OK;
            }
        }
    }

    std::uint32_t check = 0;
    r = read_register(kP4CheckRegister, &check);
    if (r != LOADER_OK)
        return r;
    if ((check & 0x07FFFFFF) == kP4CheckValue) {
        *target = CHIP_ESP32P4;
        *row = &esp_target[CHIP_ESP32P4];
        return LOADER_OK;
    }
    return LOADER_BAD_TARGET;
}
