#include "esp_loader.h"

#include "EspSerialFlasherPort.h"
#include "esp_stubs.h"
#include "esp_targets.h"
#include "md5_hash.h"
#include "protocol_serial.h"
#include "protocol_uart.h"
#include "slip.h"

#include <algorithm>
#include <cstring>

namespace {
// The detected chip and its table row; set together, so that a row is there exactly when the
// chip is known.
TargetChip s_target = CHIP_UNKNOWN;
const esp_target_row* s_reg = nullptr;
std::uint32_t s_target_flash_size = 0; // 0: not yet detected on this connection
std::uint32_t s_flash_write_size = 0;
bool stub_running = false;

constexpr std::uint32_t kRegisterTimeoutMs = 1000;
constexpr std::uint32_t kSecurityInfoTimeoutMs = 100;
constexpr std::uint32_t kCommandTimeoutMs = 1000;
constexpr std::uint32_t kDefaultFlashSize = 0x200000;
constexpr std::uint32_t kMinEraseTimeoutMs = 3000;
constexpr std::uint32_t kStubBlockSize = 6144;
constexpr std::uint32_t kReadPacketSize = 256;
constexpr std::uint32_t kReadSlowBlock = 64;
// A fence is answered at once on a sound line; waiting longer than a command only costs time on
// a line that lags, where it lets a late answer be paired instead of costing an attempt.
constexpr std::uint32_t kFenceTimeoutMs = 3000;

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

std::uint32_t minimum_timeout(double ms) {
    const auto t = static_cast<std::uint32_t>(ms);
    return t < kMinEraseTimeoutMs ? kMinEraseTimeoutMs : t;
}

std::uint32_t erase_timeout(std::uint32_t bytes) {
    return minimum_timeout(bytes / 1000000.0 * 10000.0);
}
std::uint32_t memory_timeout(std::uint32_t bytes) {
    return minimum_timeout(bytes / 1000000.0 * 2000000.0);
}

// The flash size of this connection: detected once, 2 MiB when detection fails.
void ensure_flash_size() {
    if (s_target_flash_size != 0)
        return;
    std::uint32_t detected = 0;
    if (esp_loader_flash_detect_size(&detected) == LOADER_OK) {
        s_target_flash_size = detected;
    } else {
        loader_port_debug_print("Flash size detection failed, falling back to default");
        s_target_flash_size = kDefaultFlashSize;
    }
}

// Tells the ROM the flash geometry, with the size detected once per connection.
LoaderResult send_flash_parameters() {
    ensure_flash_size();
    loader_port_start_timer(kCommandTimeoutMs);
    return loader_spi_parameters(s_target_flash_size);
}

// The geometry sent, then the range [offset, offset + size) checked against the flash.
LoaderResult parameters_for_range(std::uint32_t offset, std::uint32_t size) {
    const LoaderResult r = send_flash_parameters();
    if (r != LOADER_OK)
        return r;
    return std::uint64_t{offset} + size > s_target_flash_size ? LOADER_IMAGE_TOO_LARGE : LOADER_OK;
}

// A data command tried up to three times, each attempt under its own deadline. After an attempt
// that timed out, a fence goes first (see loader_fence_cmd): a fence that times out too counts as
// the next attempt, and the fence is sent again before the one after. When the fence shows that
// the chip took the block after all, the block is not sent again: a loader that writes every
// block it takes at the next place, whatever its number, would otherwise write it twice.
template <typename Send> LoaderResult with_attempts(std::uint8_t opcode, std::uint32_t timeout, Send send) {
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
        r = send();
        if (r == LOADER_OK)
            return r;
        fenced = r != LOADER_TIMEOUT;
    }
    // Accepted, but the last fence's answer has not come: the block is in all the same.
    return fence.accepted ? LOADER_OK : r;
}

// Steps shared by the plain and the compressed write once the range is checked: the erase size,
// the number of blocks and the begin command under the erase deadline.
LoaderResult begin_flash_write(bool deflate, std::uint32_t offset, std::uint32_t size,
                               std::uint32_t data_size, std::uint32_t block_size) {
    const bool encryption = encryption_in_begin_flash_cmd(s_target) && !stub_running;
    const std::uint32_t eraseSize = stub_running ? size : erase_size_for(offset, size);
    const std::uint32_t blocks =
        static_cast<std::uint32_t>((std::uint64_t{data_size} + block_size - 1) / block_size);
    loader_port_start_timer(erase_timeout(eraseSize));
    return deflate ? loader_flash_deflate_begin_cmd(offset, eraseSize, block_size, blocks, encryption)
                   : loader_flash_begin_cmd(offset, eraseSize, block_size, blocks, encryption);
}

bool overlaps(std::uint64_t from, std::uint64_t to, const esp_stub_segment& segment) {
    return from < std::uint64_t{segment.address} + segment.size && segment.address < to;
}

// Sets the chip and its row together, and only when the chip was recognised.
LoaderResult detect() {
    TargetChip target = CHIP_UNKNOWN;
    const esp_target_row* row = nullptr;
    const LoaderResult r = loader_detect_chip(&target, &row);
    if (r != LOADER_OK)
        return r;
    s_target = target;
    s_reg = row;
    return LOADER_OK;
}

// SYNC and detection shared by the connections.
LoaderResult sync_and_detect(const loader_connect_args* args) {
    const LoaderResult r = loader_initialize_conn(args);
    return r != LOADER_OK ? r : detect();
}

LoaderResult attach_flash(std::uint32_t configuration) {
    loader_port_start_timer(kCommandTimeoutMs);
    if (s_target == CHIP_ESP8266)
        return loader_flash_begin_cmd(0, 0, 0, 0, false);
    return loader_spi_attach_cmd(configuration);
}

LoaderResult read_flash_rom(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length) {
    const std::uint32_t head = address % kReadSlowBlock;
    const std::uint64_t span = std::uint64_t{length} + head;
    std::uint64_t copied = 0;
    std::uint8_t block[kReadSlowBlock];
    for (std::uint64_t at = 0; at < span; at += kReadSlowBlock) {
        loader_port_start_timer(kCommandTimeoutMs);
        const LoaderResult r =
            loader_flash_read_rom_cmd(static_cast<std::uint32_t>(address - head + at), block);
        if (r != LOADER_OK)
            return r;
        const std::uint64_t from = at == 0 ? head : 0;
        const std::uint64_t n = std::min<std::uint64_t>(kReadSlowBlock - from, length - copied);
        // An empty read at an unaligned address still reads its block, but may have no buffer.
        if (n > 0)
            std::memcpy(buffer + copied, block + from, static_cast<std::size_t>(n));
        copied += n;
    }
    return LOADER_OK;
}

LoaderResult read_flash_stub(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length) {
    const std::uint32_t head = address % 4;
    const std::uint64_t total = (std::uint64_t{length} + head + 3) / 4 * 4;
    if (total > 0xFFFFFFFFull)
        return LOADER_BAD_PARAM;
    tavisk_md5::MD5Context md5;
    tavisk_md5::MD5Init(&md5);
    loader_port_start_timer(kCommandTimeoutMs);
    LoaderResult r =
        loader_flash_read_stub_cmd(address - head, static_cast<std::uint32_t>(total), kReadPacketSize);
    if (r != LOADER_OK)
        return r;

    std::uint8_t packet[kReadPacketSize];
    std::uint64_t received = 0;
    std::uint64_t copied = 0;
    while (received < total) {
        const std::uint32_t expected =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(total - received, kReadPacketSize));
        std::uint32_t got = 0;
        loader_port_start_timer(kCommandTimeoutMs);
        r = SLIP_receive_packet(packet, expected, &got);
        if (r != LOADER_OK)
            return r;
        if (got != expected)
            return LOADER_BAD_RESPONSE;
        tavisk_md5::MD5Update(&md5, packet, got);
        // The packet covers [received, received + got) of the aligned range; keep what lies in
        // [head, head + length).
        const std::uint64_t from = std::max<std::uint64_t>(received, head);
        const std::uint64_t to = std::min<std::uint64_t>(received + got, std::uint64_t{head} + length);
        if (to > from) {
            std::memcpy(buffer + copied, packet + (from - received), static_cast<std::size_t>(to - from));
            copied += to - from;
        }
        received += got;
        const std::uint8_t ack[4] = {
            static_cast<std::uint8_t>(received), static_cast<std::uint8_t>(received >> 8),
            static_cast<std::uint8_t>(received >> 16), static_cast<std::uint8_t>(received >> 24)};
        loader_port_start_timer(kCommandTimeoutMs);
        r = loader_send_frame(ack, sizeof ack);
        if (r != LOADER_OK)
            return r;
    }

    std::uint8_t digest[16];
    tavisk_md5::MD5Final(digest, &md5);
    std::uint8_t answer[16];
    std::uint32_t got = 0;
    loader_port_start_timer(kCommandTimeoutMs);
    r = SLIP_receive_packet(answer, sizeof answer, &got);
    if (r != LOADER_OK)
        return r;
    if (got != sizeof answer || std::memcmp(answer, digest, sizeof digest) != 0)
        return LOADER_MD5_MISMATCH;
    return LOADER_OK;
}
} // namespace

LoaderResult esp_loader_connect(const loader_connect_args* args) {
    if (args == nullptr)
        return LOADER_BAD_PARAM;
    loader_port_enter_bootloader();
    LoaderResult r = sync_and_detect(args);
    if (r != LOADER_OK)
        return r;
    s_target_flash_size = 0;

    std::uint32_t configuration = 0;
    if (s_target != CHIP_ESP8266) {
        r = loader_read_spi_config(s_target, &configuration);
        if (r != LOADER_OK)
            return r;
    }
    return attach_flash(configuration);
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

    const LoaderResult r = parameters_for_range(offset, size);
    if (r != LOADER_OK)
        return r;
    return begin_flash_write(false, offset, size, size, block_size);
}

LoaderResult esp_loader_flash_write(void* buffer, std::uint32_t size) {
    if (buffer == nullptr || size > s_flash_write_size || s_flash_write_size == 0 ||
        s_flash_write_size > kMaxBlockSize)
        return LOADER_BAD_PARAM;
    std::uint8_t* block = static_cast<std::uint8_t*>(buffer);
    for (std::uint32_t i = size; i < s_flash_write_size; ++i)
        block[i] = 0xFF;

    return with_attempts(FLASH_DATA, kCommandTimeoutMs,
                         [&] { return loader_flash_data_cmd(block, s_flash_write_size); });
}

LoaderResult esp_loader_flash_finish(bool reboot) {
    loader_port_start_timer(kCommandTimeoutMs);
    return loader_flash_end_cmd(!reboot);
}

LoaderResult esp_loader_flash_md5(std::uint32_t address, std::uint32_t size, std::uint8_t* digest) {
    if (digest == nullptr)
        return LOADER_BAD_PARAM;
    if (s_reg == nullptr)
        return LOADER_BAD_TARGET;
    if (s_target == CHIP_ESP8266 && !stub_running)
        return LOADER_UNSUPPORTED_OP;
    std::uint8_t answer[32];
    std::uint32_t received = 0;
    loader_port_start_timer(loader_md5_timeout(size));
    const LoaderResult r = loader_md5_cmd(address, size, answer, &received);
    if (r != LOADER_OK)
        return r;
    return loader_md5_digest(answer, received, stub_running, digest) ? LOADER_OK : LOADER_BAD_RESPONSE;
}

bool esp_stub_get_running() {
    return stub_running;
}
void esp_stub_set_running(bool running) {
    stub_running = running;
}

LoaderResult esp_loader_connect_with_stub(const loader_connect_args* args) {
    if (args == nullptr)
        return LOADER_BAD_PARAM;
    s_target_flash_size = 0;
    loader_port_enter_bootloader();
    const LoaderResult r = sync_and_detect(args);
    if (r != LOADER_OK)
        return r;
    if (s_target == CHIP_ESP32P4 || s_target == CHIP_ESP32C5)
        return LOADER_UNSUPPORTED_CHIP;
    return loader_run_stub(s_target);
}

LoaderResult loader_run_stub(TargetChip target) {
    // A chip without a stub image (the ESP8266 among them) has nothing to load.
    if (!esp_stub_available(target))
        return LOADER_UNSUPPORTED_CHIP;
    const esp_stub_row& stub = *get_esp_stub(target);
    for (const esp_stub_segment& segment : stub.segment) {
        LoaderResult r = esp_loader_mem_start(segment.address, segment.size, kStubBlockSize);
        if (r != LOADER_OK)
            return r;
        for (std::uint32_t at = 0; at < segment.size; at += kStubBlockSize) {
            r = esp_loader_mem_write(segment.data + at, std::min(kStubBlockSize, segment.size - at));
            if (r != LOADER_OK)
                return r;
        }
    }
    LoaderResult r = esp_loader_mem_finish(stub.entry);
    if (r != LOADER_OK)
        return r;
    // The stub greets under the deadline that MEM_END started.
    std::uint8_t greeting[4];
    std::uint32_t length = 0;
    r = SLIP_receive_packet(greeting, sizeof greeting, &length);
    if (r != LOADER_OK)
        return r;
    if (length != sizeof greeting || std::memcmp(greeting, "OHAI", 4) != 0)
        return LOADER_BAD_RESPONSE;
    stub_running = true;
    return LOADER_OK;
}

LoaderResult esp_loader_connect_secure_download_mode(const loader_connect_args* args,
                                                     std::uint32_t flash_size, TargetChip target) {
    if (args == nullptr)
        return LOADER_BAD_PARAM;
    if (target > CHIP_UNKNOWN)
        return LOADER_BAD_TARGET;
    s_target_flash_size = flash_size;
    s_target = target;
    s_reg = get_esp_target_data(target);
    loader_port_enter_bootloader();
    LoaderResult r = loader_initialize_conn(args);
    if (r != LOADER_OK)
        return r;
    if (s_target == CHIP_UNKNOWN) {
        r = detect();
        if (r != LOADER_OK)
            return r;
    }
    return attach_flash(0);
}

LoaderResult esp_loader_flash_deflate_start(std::uint32_t offset, std::uint32_t image_size,
                                            std::uint32_t compressed_size, std::uint32_t block_size) {
    s_flash_write_size = block_size;
    if (offset % 4 != 0 || block_size == 0 || block_size > kMaxBlockSize)
        return LOADER_BAD_PARAM;
    if (s_reg == nullptr)
        return LOADER_BAD_TARGET;
    if (s_target == CHIP_ESP8266 && !stub_running)
        return LOADER_UNSUPPORTED_OP;
    const LoaderResult r = parameters_for_range(offset, image_size);
    if (r != LOADER_OK)
        return r;
    return begin_flash_write(true, offset, image_size, compressed_size, block_size);
}

LoaderResult esp_loader_flash_deflate_write(const void* data, std::uint32_t size) {
    if (data == nullptr || size > s_flash_write_size)
        return LOADER_BAD_PARAM;
    return with_attempts(FLASH_DEFL_DATA, kCommandTimeoutMs, [&] {
        return loader_flash_deflate_data_cmd(static_cast<const std::uint8_t*>(data), size);
    });
}

LoaderResult esp_loader_flash_deflate_finish(bool reboot) {
    if (!reboot && !stub_running)
        return LOADER_OK;
    loader_port_start_timer(kCommandTimeoutMs);
    return loader_flash_deflate_end_cmd(!reboot);
}

LoaderResult esp_loader_flash_erase() {
    if (s_reg == nullptr)
        return LOADER_BAD_TARGET;
    if (stub_running) {
        const LoaderResult r = send_flash_parameters();
        if (r != LOADER_OK)
            return r;
        loader_port_start_timer(erase_timeout(s_target_flash_size));
        return loader_flash_erase_cmd();
    }
    std::uint32_t size = 0;
    LoaderResult r = esp_loader_flash_detect_size(&size);
    if (r != LOADER_OK)
        return r;
    s_flash_write_size = 1024;
    if (size % 4 != 0)
        return LOADER_BAD_PARAM;
    r = parameters_for_range(0, size);
    if (r != LOADER_OK)
        return r;
    return begin_flash_write(false, 0, size, size, 1024);
}

LoaderResult esp_loader_flash_erase_region(std::uint32_t offset, std::uint32_t size) {
    if (offset % 4096 != 0 || size % 4096 != 0)
        return LOADER_BAD_PARAM;
    if (s_reg == nullptr)
        return LOADER_BAD_TARGET;
    if (stub_running) {
        const LoaderResult r = send_flash_parameters();
        if (r != LOADER_OK)
            return r;
        loader_port_start_timer(erase_timeout(size));
        return loader_flash_erase_region_cmd(offset, size);
    }
    std::uint32_t flashSize = 0;
    const LoaderResult r = esp_loader_flash_detect_size(&flashSize);
    if (r != LOADER_OK)
        return r;
    if (std::uint64_t{offset} + size > flashSize)
        return LOADER_FAIL;
    return esp_loader_flash_start(offset, size, 1024);
}

LoaderResult esp_loader_flash_read(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length) {
    if (buffer == nullptr && length != 0)
        return LOADER_BAD_PARAM;
    if (s_reg == nullptr)
        return LOADER_BAD_TARGET;
    const LoaderResult r = parameters_for_range(address, length);
    if (r != LOADER_OK)
        return r;
    if (stub_running)
        return read_flash_stub(buffer, address, length);
    return read_flash_rom(buffer, address, length);
}

LoaderResult esp_loader_mem_start(std::uint32_t offset, std::uint32_t size, std::uint32_t block_size) {
    if (block_size == 0 || block_size > kMaxBlockSize)
        return LOADER_BAD_PARAM;
    const esp_stub_row* stub = get_esp_stub(s_target);
    if (stub_running && stub != nullptr) {
        const std::uint64_t to = std::uint64_t{offset} + size;
        if (overlaps(offset, to, stub->segment[0]) || overlaps(offset, to, stub->segment[1])) {
            loader_port_debug_print("Software loader is resident at the requested address, can't load binary "
                                    "at overlapping address range");
            return LOADER_BAD_PARAM;
        }
    }
    const std::uint32_t blocks =
        static_cast<std::uint32_t>((std::uint64_t{size} + block_size - 1) / block_size);
    loader_port_start_timer(memory_timeout(size));
    return loader_mem_begin_cmd(offset, size, blocks, block_size);
}

LoaderResult esp_loader_mem_write(const void* data, std::uint32_t size) {
    if (data == nullptr && size != 0)
        return LOADER_BAD_PARAM;
    return with_attempts(MEM_DATA, memory_timeout(size),
                         [&] { return loader_mem_data_cmd(static_cast<const std::uint8_t*>(data), size); });
}

LoaderResult esp_loader_mem_finish(std::uint32_t entry) {
    loader_port_start_timer(kCommandTimeoutMs);
    return loader_mem_end_cmd(entry);
}

LoaderResult esp_loader_read_mac(std::uint8_t* mac) {
    if (mac == nullptr)
        return LOADER_BAD_PARAM;
    if (s_reg == nullptr)
        return LOADER_BAD_TARGET;
    if (s_target == CHIP_ESP8266)
        return LOADER_UNSUPPORTED_CHIP;
    const std::uint32_t address = s_reg->efuse_base + s_reg->mac_efuse_offset;
    std::uint32_t w1 = 0;
    std::uint32_t w2 = 0;
    LoaderResult r = esp_loader_read_register(address, &w1);
    if (r != LOADER_OK)
        return r;
    r = esp_loader_read_register(address + 4, &w2);
    if (r != LOADER_OK)
        return r;
    mac[0] = static_cast<std::uint8_t>(w2 >> 8);
    mac[1] = static_cast<std::uint8_t>(w2);
    mac[2] = static_cast<std::uint8_t>(w1 >> 24);
    mac[3] = static_cast<std::uint8_t>(w1 >> 16);
    mac[4] = static_cast<std::uint8_t>(w1 >> 8);
    mac[5] = static_cast<std::uint8_t>(w1);
    return LOADER_OK;
}

LoaderResult esp_loader_change_transmission_rate(std::uint32_t baudrate) {
    if (s_target == CHIP_ESP8266 || stub_running)
        return LOADER_UNSUPPORTED_OP;
    if (s_target == CHIP_ESP32C2) {
        // The C2's ROM runs its UART from the crystal: with 26 MHz the rate it sets is off by 40/26.
        std::uint32_t divider = 0;
        const LoaderResult r = esp_loader_read_register(0x60000014, &divider);
        if (r != LOADER_OK)
            return r;
        if ((divider & 0xFFFFF) * 115200u < 34000000u)
            baudrate = baudrate * 40 / 26;
    }
    loader_port_start_timer(kCommandTimeoutMs);
    return loader_change_baudrate_cmd(baudrate, 0);
}

LoaderResult esp_loader_change_transmission_rate_stub(std::uint32_t old_baudrate,
                                                      std::uint32_t new_baudrate) {
    if (s_target == CHIP_ESP8266 || !stub_running)
        return LOADER_UNSUPPORTED_OP;
    loader_port_start_timer(kCommandTimeoutMs);
    const LoaderResult r = loader_change_baudrate_cmd(new_baudrate, old_baudrate);
    if (r == LOADER_OK)
        loader_port_delay_ms(25);
    return r;
}

void esp_loader_reset_target() {
    stub_running = false;
    loader_port_reset_target();
}
