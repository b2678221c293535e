#include "espflash/esp_loader_further.h"

#include "espflash/esp_loader.h"
#include "espflash/esp_stubs.h"
#include "espflash/loader_connection.h"
#include "espflash/loader_port.h"
#include "espflash/md5_hash.h"
#include "espflash/protocol_serial.h"
#include "espflash/protocol_uart.h"
#include "espflash/slip.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::uint32_t kStubBlockSize = 6144;
constexpr std::uint32_t kReadPacketSize = 256;
constexpr std::uint32_t kReadSlowBlock = 64;

std::uint32_t memory_timeout(std::uint32_t bytes) {
    return loader_minimum_timeout(bytes / 1000000.0 * 2000000.0);
}

bool overlaps(std::uint64_t from, std::uint64_t to, const esp_stub_segment& segment) {
    return from < std::uint64_t{segment.address} + segment.size && segment.address < to;
}

LoaderResult read_flash_rom(std::uint8_t* buffer, std::uint32_t address, std::uint32_t length) {
    const std::uint32_t head = address % kReadSlowBlock;
    const std::uint64_t span = std::uint64_t{length} + head;
    std::uint64_t copied = 0;
    std::uint8_t block[kReadSlowBlock];
    for (std::uint64_t at = 0; at < span; at += kReadSlowBlock) {
        loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
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
    loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
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
        loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
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
        loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
        r = loader_send_frame(ack, sizeof ack);
        if (r != LOADER_OK)
            return r;
    }

    std::uint8_t digest[16];
    tavisk_md5::MD5Final(digest, &md5);
    std::uint8_t answer[16];
    std::uint32_t got = 0;
    loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
    r = SLIP_receive_packet(answer, sizeof answer, &got);
    if (r != LOADER_OK)
        return r;
    if (got != sizeof answer || std::memcmp(answer, digest, sizeof digest) != 0)
        return LOADER_MD5_MISMATCH;
    return LOADER_OK;
}
} // namespace

LoaderResult esp_loader_connect_with_stub(const loader_connect_args* args) {
    if (args == nullptr)
        return LOADER_BAD_PARAM;
    loader_current().flash_size = 0;
    loader_port_enter_bootloader();
    const LoaderResult r = loader_sync_and_detect(args);
    if (r != LOADER_OK)
        return r;
    const TargetChip target = loader_current().target;
    if (target == CHIP_ESP32P4 || target == CHIP_ESP32C5)
        return LOADER_UNSUPPORTED_CHIP;
    return loader_run_stub(target);
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
    esp_stub_set_running(true);
    return LOADER_OK;
}

LoaderResult esp_loader_connect_secure_download_mode(const loader_connect_args* args,
                                                     std::uint32_t flash_size, TargetChip target) {
    if (args == nullptr)
        return LOADER_BAD_PARAM;
    if (target > CHIP_UNKNOWN)
        return LOADER_BAD_TARGET;
    loader_current().flash_size = flash_size;
    loader_set_target(target);
    loader_port_enter_bootloader();
    LoaderResult r = loader_initialize_conn(args);
    if (r != LOADER_OK)
        return r;
    if (loader_current().target == CHIP_UNKNOWN) {
        r = loader_detect_target();
        if (r != LOADER_OK)
            return r;
    }
    return loader_attach_flash(0);
}

LoaderResult esp_loader_flash_deflate_start(std::uint32_t offset, std::uint32_t image_size,
                                            std::uint32_t compressed_size, std::uint32_t block_size) {
    loader_connection& connection = loader_current();
    connection.flash_write_size = block_size;
    if (offset % 4 != 0 || block_size == 0 || block_size > LOADER_MAX_BLOCK_SIZE)
        return LOADER_BAD_PARAM;
    if (connection.reg == nullptr)
        return LOADER_BAD_TARGET;
    if (connection.target == CHIP_ESP8266 && !esp_stub_get_running())
        return LOADER_UNSUPPORTED_OP;
    const LoaderResult r = loader_parameters_for_range(offset, image_size);
    if (r != LOADER_OK)
        return r;
    return loader_begin_flash_write(true, offset, image_size, compressed_size, block_size);
}

LoaderResult esp_loader_flash_deflate_write(const void* data, std::uint32_t size) {
    if (data == nullptr || size > loader_current().flash_write_size)
        return LOADER_BAD_PARAM;
    return loader_send_with_attempts(FLASH_DEFL_DATA, LOADER_COMMAND_TIMEOUT_MS,
                                     loader_flash_deflate_data_cmd, static_cast<const std::uint8_t*>(data),
                                     size);
}

LoaderResult esp_loader_flash_deflate_finish(bool reboot) {
    if (!reboot && !esp_stub_get_running())
        return LOADER_OK;
    loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
    return loader_flash_deflate_end_cmd(!reboot);
}

LoaderResult esp_loader_flash_erase() {
    loader_connection& connection = loader_current();
    if (connection.reg == nullptr)
        return LOADER_BAD_TARGET;
    if (esp_stub_get_running()) {
        const LoaderResult r = loader_send_flash_parameters();
        if (r != LOADER_OK)
            return r;
        loader_port_start_timer(loader_erase_timeout(connection.flash_size));
        return loader_flash_erase_cmd();
    }
    std::uint32_t size = 0;
    LoaderResult r = esp_loader_flash_detect_size(&size);
    if (r != LOADER_OK)
        return r;
    connection.flash_write_size = 1024;
    if (size % 4 != 0)
        return LOADER_BAD_PARAM;
    r = loader_parameters_for_range(0, size);
    if (r != LOADER_OK)
        return r;
    return loader_begin_flash_write(false, 0, size, size, 1024);
}

LoaderResult esp_loader_flash_erase_region(std::uint32_t offset, std::uint32_t size) {
    if (offset % 4096 != 0 || size % 4096 != 0)
        return LOADER_BAD_PARAM;
    if (loader_current().reg == nullptr)
        return LOADER_BAD_TARGET;
    if (esp_stub_get_running()) {
        const LoaderResult r = loader_send_flash_parameters();
        if (r != LOADER_OK)
            return r;
        loader_port_start_timer(loader_erase_timeout(size));
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
    if (loader_current().reg == nullptr)
        return LOADER_BAD_TARGET;
    const LoaderResult r = loader_parameters_for_range(address, length);
    if (r != LOADER_OK)
        return r;
    if (esp_stub_get_running())
        return read_flash_stub(buffer, address, length);
    return read_flash_rom(buffer, address, length);
}

LoaderResult esp_loader_mem_start(std::uint32_t offset, std::uint32_t size, std::uint32_t block_size) {
    if (block_size == 0 || block_size > LOADER_MAX_BLOCK_SIZE)
        return LOADER_BAD_PARAM;
    const esp_stub_row* stub = get_esp_stub(loader_current().target);
    if (esp_stub_get_running() && stub != nullptr) {
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
    return loader_send_with_attempts(MEM_DATA, memory_timeout(size), loader_mem_data_cmd,
                                     static_cast<const std::uint8_t*>(data), size);
}

LoaderResult esp_loader_mem_finish(std::uint32_t entry) {
    loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
    return loader_mem_end_cmd(entry);
}

LoaderResult esp_loader_read_mac(std::uint8_t* mac) {
    if (mac == nullptr)
        return LOADER_BAD_PARAM;
    const loader_connection& connection = loader_current();
    if (connection.reg == nullptr)
        return LOADER_BAD_TARGET;
    if (connection.target == CHIP_ESP8266)
        return LOADER_UNSUPPORTED_CHIP;
    const std::uint32_t address = connection.reg->efuse_base + connection.reg->mac_efuse_offset;
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
    const TargetChip target = loader_current().target;
    if (target == CHIP_ESP8266 || esp_stub_get_running())
        return LOADER_UNSUPPORTED_OP;
    if (target == CHIP_ESP32C2) {
        // The C2's ROM runs its UART from the crystal: with 26 MHz the rate it sets is off by 40/26.
        std::uint32_t divider = 0;
        const LoaderResult r = esp_loader_read_register(0x60000014, &divider);
        if (r != LOADER_OK)
            return r;
        if ((divider & 0xFFFFF) * 115200u < 34000000u)
            baudrate = baudrate * 40 / 26;
    }
    loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
    return loader_change_baudrate_cmd(baudrate, 0);
}

LoaderResult esp_loader_change_transmission_rate_stub(std::uint32_t old_baudrate,
                                                      std::uint32_t new_baudrate) {
    if (loader_current().target == CHIP_ESP8266 || !esp_stub_get_running())
        return LOADER_UNSUPPORTED_OP;
    loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
    const LoaderResult r = loader_change_baudrate_cmd(new_baudrate, old_baudrate);
    if (r == LOADER_OK)
        loader_port_delay_ms(25);
    return r;
}

void esp_loader_reset_target() {
    esp_stub_set_running(false);
    loader_port_reset_target();
}
