#include "esp_loader.h"

#include "EspSerialFlasherPort.h"
#include "esp_targets.h"
#include "protocol_serial.h"
#include "protocol_uart.h"

namespace {
// The detected chip and its table row; set together, so that a row is there exactly when the
// chip is known.
TargetChip s_target = CHIP_UNKNOWN;
const esp_target_row* s_reg = nullptr;
std::uint32_t s_target_flash_size = 0; // 0: not yet detected on this connection
std::uint32_t s_flash_write_size = 0;

constexpr std::uint32_t kRegisterTimeoutMs = 1000;
constexpr std::uint32_t kSecurityInfoTimeoutMs = 100;
constexpr std::uint32_t kCommandTimeoutMs = 1000;
constexpr std::uint32_t kDefaultFlashSize = 0x200000;
constexpr std::uint32_t kMinEraseTimeoutMs = 3000;

// The SPI user command that reads the flash chip's JEDEC identification.
constexpr std::uint32_t kUsrCommandBit = 1u << 18;
constexpr std::uint32_t kUsrCommandAndRead = 0x90000000;
constexpr std::uint32_t kUsr2ReadId = 0x7000009F;
constexpr std::uint32_t kReadIdBitsMinusOne = 23;
constexpr int kBusyPolls = 10;
constexpr int kWriteAttempts = 3;
// A data packet carries four words before the block in a 16-bit size field.
constexpr std::uint32_t kMaxBlockSize = 0xFFFF - 16;

struct SizeMapping {
    std::uint8_t id;
    std::uint32_t size;
};
constexpr std::uint32_t KiB = 1024;
constexpr std::uint32_t MiB = 1024 * 1024;
const SizeMapping size_mapping[] = {
    {0x12, 256 * KiB}, {0x13, 512 * KiB}, {0x14, 1 * MiB},   {0x15, 2 * MiB},   {0x16, 4 * MiB},
    {0x17, 8 * MiB},   {0x18, 16 * MiB},  {0x19, 32 * MiB},  {0x1A, 64 * MiB},  {0x1B, 128 * MiB},
    {0x1C, 256 * MiB}, {0x20, 64 * MiB},  {0x21, 128 * MiB}, {0x22, 256 * MiB}, {0x32, 256 * KiB},
    {0x33, 512 * KiB}, {0x34, 1 * MiB},   {0x35, 2 * MiB},   {0x36, 4 * MiB},   {0x37, 8 * MiB},
    {0x38, 16 * MiB},  {0x39, 32 * MiB},  {0x3A, 64 * MiB},
};

LoaderResult write_register_full(std::uint32_t address, std::uint32_t value) {
    loader_port_start_timer(kRegisterTimeoutMs);
    return loader_write_reg_cmd(address, value, 0xFFFFFFFF, 0);
}

std::uint32_t erase_size_for(std::uint32_t offset, std::uint32_t size) {
    if (s_target != CHIP_ESP8266)
        return size;
    // The ESP8266 ROM erases more than it is asked to; ask for less so that it erases the image.
    const std::uint32_t sectors = static_cast<std::uint32_t>((std::uint64_t{size} + 4095) / 4096);
    const std::uint32_t head = 16 - ((offset / 4096) % 16);
    if (sectors <= head)
        return ((sectors + 1) / 2) * 4096;
    return (sectors - head) * 4096;
}
} // namespace

LoaderResult esp_loader_connect(const loader_connect_args* args) {
    if (args == nullptr)
        return LOADER_BAD_PARAM;
    loader_port_enter_bootloader();
    LoaderResult r = loader_initialize_conn(args);
    if (r != LOADER_OK)
        return r;
    TargetChip target = CHIP_UNKNOWN;
    const esp_target_row* row = nullptr;
    r = loader_detect_chip(&target, &row);
    if (r != LOADER_OK)
        return r;
    s_target = target;
    s_reg = row;
    s_target_flash_size = 0;

    if (s_target == CHIP_ESP8266) {
        loader_port_start_timer(kCommandTimeoutMs);
        return loader_flash_begin_cmd(0, 0, 0, 0, false);
    }
    std::uint32_t configuration = 0;
    r = loader_read_spi_config(s_target, &configuration);
    if (r != LOADER_OK)
        return r;
    loader_port_start_timer(kCommandTimeoutMs);
    return loader_spi_attach_cmd(configuration);
}

TargetChip esp_loader_get_target() {
    return s_target;
}

LoaderResult esp_loader_get_security_info(loader_security_info* info) {
    if (info == nullptr)
        return LOADER_BAD_PARAM;
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

LoaderResult esp_loader_read_register(std::uint32_t address, std::uint32_t* value) {
    if (value == nullptr)
        return LOADER_BAD_PARAM;
    loader_port_start_timer(kRegisterTimeoutMs);
    return loader_read_reg_cmd(address, value);
}

LoaderResult esp_loader_write_register(std::uint32_t address, std::uint32_t value) {
    return write_register_full(address, value);
}

LoaderResult esp_loader_flash_detect_size(std::uint32_t* size) {
    if (size == nullptr)
        return LOADER_BAD_PARAM;
    if (s_reg == nullptr)
        return LOADER_BAD_TARGET;
    const esp_target_row& reg = *s_reg;
    std::uint32_t oldUsr = 0;
    std::uint32_t oldUsr2 = 0;
    LoaderResult r = esp_loader_read_register(reg.usr, &oldUsr);
    if (r == LOADER_OK)
        r = esp_loader_read_register(reg.usr2, &oldUsr2);
    if (r == LOADER_OK) {
        r = s_target == CHIP_ESP8266 ? write_register_full(reg.usr1, kReadIdBitsMinusOne << 8)
                                     : write_register_full(reg.miso_dlen, kReadIdBitsMinusOne);
    }
    if (r == LOADER_OK)
        r = write_register_full(reg.usr, kUsrCommandAndRead);
    if (r == LOADER_OK)
        r = write_register_full(reg.usr2, kUsr2ReadId);
    if (r == LOADER_OK)
        r = write_register_full(reg.w0, 0);
    if (r == LOADER_OK)
        r = write_register_full(reg.cmd, kUsrCommandBit);
    if (r != LOADER_OK)
        return r;

    bool done = false;
    for (int i = 0; i < kBusyPolls && !done; ++i) {
        std::uint32_t cmd = 0;
        r = esp_loader_read_register(reg.cmd, &cmd);
        if (r != LOADER_OK)
            return r;
        done = (cmd & kUsrCommandBit) == 0;
    }
    if (!done)
        return LOADER_TIMEOUT;

    std::uint32_t id = 0;
    r = esp_loader_read_register(reg.w0, &id);
    if (r == LOADER_OK)
        r = write_register_full(reg.usr, oldUsr);
    if (r == LOADER_OK)
        r = write_register_full(reg.usr2, oldUsr2);
    if (r != LOADER_OK)
        return r;

    const std::uint8_t capacityId = static_cast<std::uint8_t>(id >> 16);
    for (const SizeMapping& m : size_mapping) {
        if (m.id == capacityId) {
            *size = m.size;
            return LOADER_OK;
        }
    }
    return LOADER_UNSUPPORTED_CHIP;
}

LoaderResult esp_loader_flash_start(std::uint32_t offset, std::uint32_t size, std::uint32_t block_size) {
    s_flash_write_size = block_size;
    if (offset % 4 != 0 || size % 4 != 0 || block_size == 0 || block_size > kMaxBlockSize)
        return LOADER_BAD_PARAM;
    if (s_reg == nullptr)
        return LOADER_BAD_TARGET;

    if (s_target_flash_size == 0) {
        std::uint32_t detected = 0;
        if (esp_loader_flash_detect_size(&detected) == LOADER_OK) {
            s_target_flash_size = detected;
        } else {
            loader_port_debug_print("Flash size detection failed, falling back to default");
            s_target_flash_size = kDefaultFlashSize;
        }
    }

    loader_port_start_timer(kCommandTimeoutMs);
    LoaderResult r = loader_spi_parameters(s_target_flash_size);
    if (r != LOADER_OK)
        return r;
    if (std::uint64_t{offset} + size > s_target_flash_size)
        return LOADER_IMAGE_TOO_LARGE;

    const bool encryption = encryption_in_begin_flash_cmd(s_target);
    const std::uint32_t eraseSize = erase_size_for(offset, size);
    const std::uint32_t blocks =
        static_cast<std::uint32_t>((std::uint64_t{size} + block_size - 1) / block_size);
    std::uint32_t timeout = static_cast<std::uint32_t>(eraseSize / 1000000.0 * 10000.0);
    if (timeout < kMinEraseTimeoutMs)
        timeout = kMinEraseTimeoutMs;
    loader_port_start_timer(timeout);
    return loader_flash_begin_cmd(offset, eraseSize, block_size, blocks, encryption);
}

LoaderResult esp_loader_flash_write(void* buffer, std::uint32_t size) {
    if (buffer == nullptr || size > s_flash_write_size || s_flash_write_size == 0 ||
        s_flash_write_size > kMaxBlockSize)
        return LOADER_BAD_PARAM;
    std::uint8_t* block = static_cast<std::uint8_t*>(buffer);
    for (std::uint32_t i = size; i < s_flash_write_size; ++i)
        block[i] = 0xFF;

    LoaderResult r = LOADER_FAIL;
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        loader_port_start_timer(kCommandTimeoutMs);
        r = loader_flash_data_cmd(block, s_flash_write_size);
        if (r == LOADER_OK)
            break;
    }
    return r;
}

LoaderResult esp_loader_flash_finish(bool reboot) {
    loader_port_start_timer(kCommandTimeoutMs);
    return loader_flash_end_cmd(!reboot);
}
