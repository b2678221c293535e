#include "espflash/loader_connection.h"

#include "espflash/loader_port.h"
#include "espflash/protocol_serial.h"
#include "espflash/protocol_uart.h"

#include <algorithm>

namespace {
loader_connection s_connection;

constexpr std::uint32_t kDefaultFlashSize = 0x200000;
constexpr std::uint32_t kMinEraseTimeoutMs = 3000;
// A fence is answered at once on a sound line; waiting longer than a command only costs time on
// a line that lags, where it lets a late answer be paired instead of costing an attempt.
constexpr std::uint32_t kFenceTimeoutMs = 3000;
constexpr int kWriteAttempts = 3;

// The SPI user command that reads the flash chip's JEDEC identification.
constexpr std::uint32_t kUsrCommandBit = 1u << 18;
constexpr std::uint32_t kUsrCommandAndRead = 0x90000000;
constexpr std::uint32_t kUsr2ReadId = 0x7000009F;
constexpr std::uint32_t kReadIdBitsMinusOne = 23;
constexpr int kBusyPolls = 10;

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

std::uint32_t erase_size_for(std::uint32_t offset, std::uint32_t size) {
    if (s_connection.target != CHIP_ESP8266)
        return size;
    // The ESP8266 ROM erases more than it is asked to; ask for less so that it erases the image.
    const std::uint32_t sectors = static_cast<std::uint32_t>((std::uint64_t{size} + 4095) / 4096);
    const std::uint32_t head = 16 - ((offset / 4096) % 16);
    if (sectors <= head)
        return ((sectors + 1) / 2) * 4096;
    return (sectors - head) * 4096;
}

// The flash size of this connection: detected once, 2 MiB when detection fails.
void ensure_flash_size() {
    if (s_connection.flash_size != 0)
        return;
    std::uint32_t detected = 0;
    if (loader_detect_flash_size(&detected) == LOADER_OK) {
        s_connection.flash_size = detected;
    } else {
        loader_port_debug_print("Flash size detection failed, falling back to default");
        s_connection.flash_size = kDefaultFlashSize;
    }
}
} // namespace

loader_connection& loader_current() {
    return s_connection;
}

void loader_set_target(TargetChip target) {
    s_connection.target = target;
    s_connection.reg = get_esp_target_data(target);
}

LoaderResult loader_detect_target() {
    TargetChip target = CHIP_UNKNOWN;
    const esp_target_row* row = nullptr;
    const LoaderResult r = loader_detect_chip(&target, &row);
    if (r != LOADER_OK)
        return r;
    s_connection.target = target;
    s_connection.reg = row;
    return LOADER_OK;
}

LoaderResult loader_sync_and_detect(const loader_connect_args* args) {
    const LoaderResult r = loader_initialize_conn(args);
    return r != LOADER_OK ? r : loader_detect_target();
}

LoaderResult loader_attach_flash(std::uint32_t configuration) {
    loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
    if (s_connection.target == CHIP_ESP8266)
        return loader_flash_begin_cmd(0, 0, 0, 0, false);
    return loader_spi_attach_cmd(configuration);
}

LoaderResult loader_write_register(std::uint32_t address, std::uint32_t value) {
    loader_port_start_timer(LOADER_REGISTER_TIMEOUT_MS);
    return loader_write_reg_cmd(address, value, 0xFFFFFFFF, 0);
}

LoaderResult loader_read_register(std::uint32_t address, std::uint32_t* value) {
    if (value == nullptr)
        return LOADER_BAD_PARAM;
    loader_port_start_timer(LOADER_REGISTER_TIMEOUT_MS);
    return loader_read_reg_cmd(address, value);
}

std::uint32_t loader_largest_flash_size() {
    std::uint32_t largest = 0;
    for (const SizeMapping& mapping : size_mapping)
        largest = std::max(largest, mapping.size);
    return largest;
}

LoaderResult loader_detect_flash_size(std::uint32_t* size) {
    if (size == nullptr)
        return LOADER_BAD_PARAM;
    if (s_connection.reg == nullptr)
        return LOADER_BAD_TARGET;
    const esp_target_row& reg = *s_connection.reg;
    std::uint32_t oldUsr = 0;
    std::uint32_t oldUsr2 = 0;
    LoaderResult r = loader_read_register(reg.usr, &oldUsr);
    if (r == LOADER_OK)
        r = loader_read_register(reg.usr2, &oldUsr2);
    if (r == LOADER_OK) {
        r = s_connection.target == CHIP_ESP8266 ? loader_write_register(reg.usr1, kReadIdBitsMinusOne << 8)
                                                : loader_write_register(reg.miso_dlen, kReadIdBitsMinusOne);
    }
    if (r == LOADER_OK)
        r = loader_write_register(reg.usr, kUsrCommandAndRead);
    if (r == LOADER_OK)
        r = loader_write_register(reg.usr2, kUsr2ReadId);
    if (r == LOADER_OK)
        r = loader_write_register(reg.w0, 0);
    if (r == LOADER_OK)
        r = loader_write_register(reg.cmd, kUsrCommandBit);
    if (r != LOADER_OK)
        return r;

    bool done = false;
    for (int i = 0; i < kBusyPolls && !done; ++i) {
        std::uint32_t cmd = 0;
        r = loader_read_register(reg.cmd, &cmd);
        if (r != LOADER_OK)
            return r;
        done = (cmd & kUsrCommandBit) == 0;
    }
    if (!done)
        return LOADER_TIMEOUT;

    std::uint32_t id = 0;
    r = loader_read_register(reg.w0, &id);
    if (r == LOADER_OK)
        r = loader_write_register(reg.usr, oldUsr);
    if (r == LOADER_OK)
        r = loader_write_register(reg.usr2, oldUsr2);
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

LoaderResult loader_send_flash_parameters() {
    ensure_flash_size();
    loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
    return loader_spi_parameters(s_connection.flash_size);
}

LoaderResult loader_parameters_for_range(std::uint32_t offset, std::uint32_t size) {
    const LoaderResult r = loader_send_flash_parameters();
    if (r != LOADER_OK)
        return r;
    return std::uint64_t{offset} + size > s_connection.flash_size ? LOADER_IMAGE_TOO_LARGE : LOADER_OK;
}

LoaderResult loader_begin_flash_write(bool deflate, std::uint32_t offset, std::uint32_t size,
                                      std::uint32_t data_size, std::uint32_t block_size) {
    const bool stub = esp_stub_get_running();
    const bool encryption = encryption_in_begin_flash_cmd(s_connection.target) && !stub;
    const std::uint32_t eraseSize = stub ? size : erase_size_for(offset, size);
    const std::uint32_t blocks =
        static_cast<std::uint32_t>((std::uint64_t{data_size} + block_size - 1) / block_size);
    loader_port_start_timer(loader_erase_timeout(eraseSize));
    return deflate ? loader_flash_deflate_begin_cmd(offset, eraseSize, block_size, blocks, encryption)
                   : loader_flash_begin_cmd(offset, eraseSize, block_size, blocks, encryption);
}

// A fence that times out too counts as the next attempt, and the fence is sent again before the
// one after. When the fence shows that the chip took the block after all, the block is not sent
// again: a loader that writes every block it takes at the next place, whatever its number, would
// otherwise write it twice. A failed attempt needs no fence when the chip's answer ended it; a
// frame that could not be decoded ends it the same way, and may have been a fence's answer that
// was still due, with the attempt's own answer behind it.
LoaderResult loader_send_with_attempts(std::uint8_t opcode, std::uint32_t timeout,
                                       LoaderResult (*command)(const std::uint8_t* data, std::uint32_t size),
                                       const std::uint8_t* data, std::uint32_t size) {
    loader_fence fence;
    bool fenced = true;
    LoaderResult r = LOADER_FAIL;
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        if (!fenced) {
            loader_port_start_timer(kFenceTimeoutMs);
            r = loader_fence_cmd(ESP_CHIP_DETECT_REGISTER, opcode, &fence);
            if (r != LOADER_OK)
                continue;
            fenced = true;
            if (fence.accepted)
                return LOADER_OK;
        }
        loader_port_start_timer(timeout);
        r = command(data, size);
        if (r == LOADER_OK)
            return r;
        fenced = r != LOADER_TIMEOUT && loader_fence_answers_due() == 0;
    }
    // Accepted, but the last fence's answer has not come: the block is in all the same.
    return fence.accepted ? LOADER_OK : r;
}

std::uint32_t loader_minimum_timeout(double ms) {
    const auto t = static_cast<std::uint32_t>(ms);
    return t < kMinEraseTimeoutMs ? kMinEraseTimeoutMs : t;
}

std::uint32_t loader_erase_timeout(std::uint32_t bytes) {
    return loader_minimum_timeout(bytes / 1000000.0 * 10000.0);
}
