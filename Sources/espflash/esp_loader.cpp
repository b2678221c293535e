#include "espflash/esp_loader.h"

#include "espflash/esp_targets.h"
#include "espflash/loader_connection.h"
#include "espflash/loader_port.h"
#include "espflash/protocol_serial.h"

LoaderResult esp_loader_connect(const loader_connect_args* args) {
    if (args == nullptr)
        return LOADER_BAD_PARAM;
    loader_port_enter_bootloader();
    LoaderResult r = loader_sync_and_detect(args);
    if (r != LOADER_OK)
        return r;
    loader_connection& connection = loader_current();
    connection.flash_size = 0;

    std::uint32_t configuration = 0;
    if (connection.target != CHIP_ESP8266) {
        r = loader_read_spi_config(connection.target, &configuration);
        if (r != LOADER_OK)
            return r;
    }
    return loader_attach_flash(configuration);
}

TargetChip esp_loader_get_target() {
    return loader_current().target;
}

LoaderResult esp_loader_get_security_info(loader_security_info* info) {
    if (info == nullptr)
        return LOADER_BAD_PARAM;
    return loader_read_security_info(info);
}

LoaderResult esp_loader_read_register(std::uint32_t address, std::uint32_t* value) {
    return loader_read_register(address, value);
}

LoaderResult esp_loader_write_register(std::uint32_t address, std::uint32_t value) {
    return loader_write_register(address, value);
}

LoaderResult esp_loader_flash_detect_size(std::uint32_t* size) {
    return loader_detect_flash_size(size);
}

std::uint32_t esp_loader_flash_size() {
    return loader_current().flash_size;
}

std::uint32_t esp_loader_largest_flash_size() {
    return loader_largest_flash_size();
}

std::uint32_t esp_loader_max_block_size() {
    return LOADER_MAX_BLOCK_SIZE;
}

LoaderResult esp_loader_flash_start(std::uint32_t offset, std::uint32_t size, std::uint32_t block_size) {
    loader_connection& connection = loader_current();
    connection.flash_write_size = block_size;
    if (offset % 4 != 0 || size % 4 != 0 || block_size == 0 || block_size > LOADER_MAX_BLOCK_SIZE)
        return LOADER_BAD_PARAM;
    if (connection.reg == nullptr)
        return LOADER_BAD_TARGET;

    const LoaderResult r = loader_parameters_for_range(offset, size);
    if (r != LOADER_OK)
        return r;
    return loader_begin_flash_write(false, offset, size, size, block_size);
}

LoaderResult esp_loader_flash_write(void* buffer, std::uint32_t size) {
    const std::uint32_t block = loader_current().flash_write_size;
    if (buffer == nullptr || size > block || block == 0 || block > LOADER_MAX_BLOCK_SIZE)
        return LOADER_BAD_PARAM;
    std::uint8_t* bytes = static_cast<std::uint8_t*>(buffer);
    for (std::uint32_t i = size; i < block; ++i)
        bytes[i] = 0xFF;
    return loader_send_with_attempts(FLASH_DATA, LOADER_COMMAND_TIMEOUT_MS, loader_flash_data_cmd, bytes,
                                     block);
}

LoaderResult esp_loader_flash_finish(bool reboot) {
    loader_port_start_timer(LOADER_COMMAND_TIMEOUT_MS);
    return loader_flash_end_cmd(!reboot);
}

LoaderResult esp_loader_flash_md5(std::uint32_t address, std::uint32_t size, std::uint8_t* digest) {
    if (digest == nullptr)
        return LOADER_BAD_PARAM;
    const loader_connection& connection = loader_current();
    if (connection.reg == nullptr)
        return LOADER_BAD_TARGET;
    const bool stub = esp_stub_get_running();
    if (connection.target == CHIP_ESP8266 && !stub)
        return LOADER_UNSUPPORTED_OP;
    std::uint8_t answer[32];
    std::uint32_t received = 0;
    loader_port_start_timer(loader_md5_timeout(size));
    const LoaderResult r = loader_md5_cmd(address, size, answer, &received);
    if (r != LOADER_OK)
        return r;
    return loader_md5_digest(answer, received, stub, digest) ? LOADER_OK : LOADER_BAD_RESPONSE;
}
