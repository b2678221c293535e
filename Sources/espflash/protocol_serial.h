#pragma once

#include "espflash/loader_types.h"

#include <cstddef>
#include <cstdint>

// Command and response packets of the ROM-loader protocol and their builders. Each builder
// expects its caller to have started the command's deadline (loader_port_start_timer).

enum loader_opcode : std::uint8_t {
    FLASH_BEGIN = 0x02,
    FLASH_DATA = 0x03,
    FLASH_END = 0x04,
    MEM_BEGIN = 0x05,
    MEM_END = 0x06,
    MEM_DATA = 0x07,
    SYNC = 0x08,
    WRITE_REG = 0x09,
    READ_REG = 0x0A,
    SPI_SET_PARAMS = 0x0B,
    SPI_ATTACH = 0x0D,
    READ_FLASH_SLOW = 0x0E,
    CHANGE_BAUDRATE = 0x0F,
    FLASH_DEFL_BEGIN = 0x10,
    FLASH_DEFL_DATA = 0x11,
    FLASH_DEFL_END = 0x12,
    SPI_FLASH_MD5 = 0x13,
    GET_SECURITY_INFO = 0x14,
    ERASE_FLASH = 0xD0,
    ERASE_REGION = 0xD1,
    READ_FLASH = 0xD2,
};

constexpr std::size_t LOADER_HEADER_SIZE = 8;
// The deadline of one register read or write.
constexpr std::uint32_t LOADER_REGISTER_TIMEOUT_MS = 1000;
constexpr std::size_t LOADER_STATUS_SIZE = 2;
// The largest response data any command expects (READ_FLASH_SLOW).
constexpr std::size_t LOADER_MAX_RESPONSE_DATA = 64;

struct loader_command {
    const std::uint8_t* command;
    std::size_t command_size;
    const std::uint8_t* payload; // the block of a data command, or null
    std::size_t payload_size;
    std::uint8_t* response; // response-data buffer, or null
    std::size_t response_capacity;
    std::uint32_t* response_length; // receives the data length, or null
    std::uint32_t* value;           // receives the value word, or null
};

// Whether a received frame answers the command: a response, of that opcode, long enough.
bool loader_response_matches(const std::uint8_t* frame, std::size_t length, std::uint8_t opcode,
                             std::size_t min_length);

// The checksum of a data packet's block: 0xEF exclusive-or every byte.
std::uint8_t loader_compute_checksum(const std::uint8_t* data, std::size_t size);

// Sequence number of the data commands; the begin commands reset it.
std::uint32_t loader_sequence_number();
// Answers of fences that may still arrive (see loader_fence_cmd). Until the answer of a command
// other than a register read shows that they were lost, each register-read answer that comes is
// taken for one of them, and no command can take it for its own.
std::uint32_t loader_fence_answers_due();

// Whether the flasher stub runs instead of the ROM loader: false at start, set by a stub that
// greeted after loading, cleared by a reset. Some commands take another form for the stub
// (SPI_ATTACH's data, the MD5 answer's length), so the flag lives with the sequence number.
bool esp_stub_get_running();
void esp_stub_set_running(bool running);

LoaderResult send_cmd(const loader_command& cmd);
void log_loader_internal_error(std::uint8_t error);
// The text for a chip's error byte.
const char* loader_error_text(std::uint8_t error);

LoaderResult loader_flash_begin_cmd(std::uint32_t offset, std::uint32_t erase_size, std::uint32_t block_size,
                                    std::uint32_t blocks, bool encryption);
// Sends a block; the sequence number advances only when the chip accepted it, so that a block
// sent again after a failed attempt keeps its number.
LoaderResult loader_flash_data_cmd(const std::uint8_t* data, std::uint32_t size);
LoaderResult loader_flash_end_cmd(bool stay_in_loader);
LoaderResult loader_sync_cmd();
LoaderResult loader_write_reg_cmd(std::uint32_t address, std::uint32_t value, std::uint32_t mask,
                                  std::uint32_t delay_us);
LoaderResult loader_read_reg_cmd(std::uint32_t address, std::uint32_t* value);
LoaderResult loader_spi_parameters(std::uint32_t total_size);
LoaderResult loader_spi_attach_cmd(std::uint32_t configuration);
LoaderResult loader_get_security_info_cmd(std::uint8_t* response, std::uint32_t* response_length);
LoaderResult loader_mem_begin_cmd(std::uint32_t offset, std::uint32_t size, std::uint32_t blocks,
                                  std::uint32_t block_size);
// As loader_flash_data_cmd, for RAM.
LoaderResult loader_mem_data_cmd(const std::uint8_t* data, std::uint32_t size);
LoaderResult loader_mem_end_cmd(std::uint32_t entry);
// Reads 64 bytes of flash into `buffer`.
LoaderResult loader_flash_read_rom_cmd(std::uint32_t address, std::uint8_t* buffer);
LoaderResult loader_change_baudrate_cmd(std::uint32_t new_rate, std::uint32_t old_rate);
LoaderResult loader_flash_deflate_begin_cmd(std::uint32_t offset, std::uint32_t erase_size,
                                            std::uint32_t block_size, std::uint32_t blocks, bool encryption);
LoaderResult loader_flash_deflate_data_cmd(const std::uint8_t* data, std::uint32_t size);
LoaderResult loader_flash_deflate_end_cmd(bool stay_in_loader);
// The digest of a flash region: 32 bytes (hex text) from the ROM, 16 from the stub. With
// `received`, an answer shorter than that is taken too and its data length stored, so that a
// failure status is seen at once instead of the deadline running out.
LoaderResult loader_md5_cmd(std::uint32_t address, std::uint32_t size, std::uint8_t* buffer,
                            std::uint32_t* received = nullptr);
// The deadline of an MD5 command over `size` bytes: the chip reads the whole range first.
std::uint32_t loader_md5_timeout(std::uint32_t size);
// The 16-byte digest from an MD5 answer's data: 32 hexadecimal characters from the ROM, the raw
// 16 bytes from the stub. False for anything else.
bool loader_md5_digest(const std::uint8_t* data, std::uint32_t length, bool from_stub,
                       std::uint8_t digest[16]);

// After a data attempt timed out, its answer may still come, and it names no block: taken for a
// later attempt's, it would shift the pairing of every answer after it. A fence is a command whose
// answer cannot be taken for a data answer; once its answer is in, the chip (which answers in
// order) can send nothing more for an earlier attempt.
struct loader_fence {
    bool accepted = false; // an earlier attempt's answer with status 0 arrived behind the fences
};
// Sends one fence, a read of the register at `address`, and takes every frame, under the deadline
// already started, until the answer of a fence sent since the last data command is in: the
// answers of fences from before that command, which a fence that timed out leaves due, come
// first and are counted out; of the fences sent since, whichever answers first will do (none was
// answered before, and each shows that the data command's answer, if any, came before it). An
// answer of `data_opcode` arriving meanwhile belongs to the timed-out attempt of the same block:
// with status 0 the chip took the block, so the sequence number advances (once) and `accepted` is
// set; a failure status is logged and dropped.
LoaderResult loader_fence_cmd(std::uint32_t address, std::uint8_t data_opcode, loader_fence* fence);
LoaderResult loader_flash_erase_cmd();
LoaderResult loader_flash_erase_region_cmd(std::uint32_t offset, std::uint32_t size);
// Starts a streamed read; the data follows as frames of their own.
LoaderResult loader_flash_read_stub_cmd(std::uint32_t offset, std::uint32_t length,
                                        std::uint32_t packet_size);
// Sends the bytes as one SLIP frame of their own (the acknowledgements of a streamed read).
LoaderResult loader_send_frame(const std::uint8_t* data, std::uint32_t size);
