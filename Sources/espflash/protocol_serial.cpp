#include "espflash/protocol_serial.h"

#include "espflash/loader_port.h"
#include "espflash/slip.h"

#include <cstring>

namespace {
std::uint32_t s_sequence_number = 0;
bool s_stub_running = false;
// Answers of fences that may still arrive. A fence whose deadline passed is not waited for again,
// but its answer may come later all the same, and every fence reads the same register: the chip
// answers in order, so such answers come before that of anything sent after them, and each
// register-read answer is counted out against them first. The answer of any other command shows
// that those still missing were lost.
std::uint32_t s_fence_answers_due = 0;
// Fences sent since the last data command went out. Any one of their answers shows that nothing
// more can come for that command, so the first one to arrive ends the wait.
std::uint32_t s_fences_since_data = 0;

constexpr std::uint8_t kRequest = 0x00;
constexpr std::uint8_t kResponse = 0x01;
constexpr std::uint32_t kSyncResponses = 8;

void put32(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
    at[2] = static_cast<std::uint8_t>(value >> 16);
    at[3] = static_cast<std::uint8_t>(value >> 24);
}

std::uint32_t get32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// A packet of header and words, built on the stack.
template <std::size_t Words> struct Packet {
    std::uint8_t bytes[LOADER_HEADER_SIZE + Words * 4] = {};

    Packet(std::uint8_t opcode, std::uint16_t size, std::uint32_t checksum = 0) {
        bytes[0] = kRequest;
        bytes[1] = opcode;
        bytes[2] = static_cast<std::uint8_t>(size);
        bytes[3] = static_cast<std::uint8_t>(size >> 8);
        put32(bytes + 4, checksum);
    }
    void word(std::size_t index, std::uint32_t value) {
        put32(bytes + LOADER_HEADER_SIZE + index * 4, value);
    }

    LoaderResult send(std::uint8_t* response = nullptr, std::size_t capacity = 0,
                      std::uint32_t* length = nullptr, std::uint32_t* value = nullptr,
                      const std::uint8_t* payload = nullptr, std::size_t payloadSize = 0) const {
        const loader_command cmd{bytes,    sizeof bytes, payload, payloadSize,
                                 response, capacity,     length,  value};
        return send_cmd(cmd);
    }
};

// A command whose data field is two words.
LoaderResult two_word_cmd(std::uint8_t opcode, std::uint32_t first, std::uint32_t second) {
    Packet<2> p(opcode, 8);
    p.word(0, first);
    p.word(1, second);
    return p.send();
}

bool is_fence_answer(const std::uint8_t* frame, std::size_t length) {
    return loader_response_matches(frame, length, READ_REG, 0);
}

// Whether the frame is the answer of a fence that is still due (and counts it out if so).
bool count_out_fence_answer(const std::uint8_t* frame, std::size_t length) {
    if (s_fence_answers_due == 0 || !is_fence_answer(frame, length))
        return false;
    --s_fence_answers_due;
    return true;
}

LoaderResult receive_response(const loader_command& cmd, std::uint8_t opcode) {
    std::uint8_t frame[LOADER_HEADER_SIZE + LOADER_MAX_RESPONSE_DATA + LOADER_STATUS_SIZE];
    const std::size_t capacity = LOADER_HEADER_SIZE + cmd.response_capacity + LOADER_STATUS_SIZE;
    if (capacity > sizeof frame)
        return LOADER_BAD_PARAM;
    const std::size_t minLength =
        cmd.response_length != nullptr ? LOADER_HEADER_SIZE + LOADER_STATUS_SIZE : capacity;
    std::uint32_t length = 0;
    do {
        const LoaderResult r = SLIP_receive_packet(frame, static_cast<std::uint32_t>(capacity), &length);
        if (r != LOADER_OK)
            return r;
    } while (count_out_fence_answer(frame, length) ||
             !loader_response_matches(frame, length, opcode, minLength));
    s_fence_answers_due = 0; // the chip answers in order: a fence answer still missing was lost

    if (frame[length - 2] != 0) {
        log_loader_internal_error(frame[length - 1]);
        return LOADER_BAD_RESPONSE;
    }
    if (cmd.value != nullptr)
        *cmd.value = get32(frame + 4);
    if (cmd.response != nullptr) {
        const std::size_t dataLength = length - LOADER_HEADER_SIZE - LOADER_STATUS_SIZE;
        std::memcpy(cmd.response, frame + LOADER_HEADER_SIZE, dataLength);
        if (cmd.response_length != nullptr)
            *cmd.response_length = static_cast<std::uint32_t>(dataLength);
    }
    return LOADER_OK;
}

LoaderResult data_cmd(std::uint8_t opcode, const std::uint8_t* data, std::uint32_t size) {
    // The size field counts the four words and the block; it is 16 bits wide.
    if (size > 0xFFFF - 16)
        return LOADER_BAD_PARAM;
    Packet<4> p(opcode, static_cast<std::uint16_t>(16 + size), loader_compute_checksum(data, size));
    p.word(0, size);
    p.word(1, s_sequence_number);
    s_fences_since_data = 0;
    const LoaderResult r = p.send(nullptr, 0, nullptr, nullptr, data, size);
    if (r == LOADER_OK)
        ++s_sequence_number;
    return r;
}
} // namespace

bool loader_response_matches(const std::uint8_t* frame, std::size_t length, std::uint8_t opcode,
                             std::size_t min_length) {
    if (min_length < LOADER_HEADER_SIZE + LOADER_STATUS_SIZE)
        min_length = LOADER_HEADER_SIZE + LOADER_STATUS_SIZE;
    return length >= min_length && frame[0] == kResponse && frame[1] == opcode;
}

std::uint8_t loader_compute_checksum(const std::uint8_t* data, std::size_t size) {
    std::uint8_t checksum = 0xEF;
    for (std::size_t i = 0; i < size; ++i)
        checksum ^= data[i];
    return checksum;
}

std::uint32_t loader_sequence_number() {
    return s_sequence_number;
}

std::uint32_t loader_fence_answers_due() {
    return s_fence_answers_due;
}

bool esp_stub_get_running() {
    return s_stub_running;
}

void esp_stub_set_running(bool running) {
    s_stub_running = running;
}

LoaderResult send_cmd(const loader_command& cmd) {
    if (cmd.command == nullptr || cmd.command_size < LOADER_HEADER_SIZE)
        return LOADER_BAD_PARAM;
    LoaderResult r = SLIP_send_delimiter();
    if (r == LOADER_OK)
        r = SLIP_send(cmd.command, static_cast<std::uint32_t>(cmd.command_size));
    if (r == LOADER_OK && cmd.payload != nullptr && cmd.payload_size != 0)
        r = SLIP_send(cmd.payload, static_cast<std::uint32_t>(cmd.payload_size));
    if (r == LOADER_OK)
        r = SLIP_send_delimiter();
    if (r != LOADER_OK)
        return r;

    const std::uint8_t opcode = cmd.command[1];
    const std::uint32_t expected = opcode == SYNC ? kSyncResponses : 1;
    for (std::uint32_t i = 0; i < expected; ++i) {
        r = receive_response(cmd, opcode);
        if (r != LOADER_OK)
            return r;
    }
    return LOADER_OK;
}

const char* loader_error_text(std::uint8_t error) {
    switch (error) {
    case 0x05:
        return "Error: INVALID_COMMAND";
    case 0x06:
        return "Error: COMMAND_FAILED";
    case 0x07:
        return "Error: INVALID_CRC";
    case 0x08:
        return "Error: FLASH_WRITE_ERR";
    case 0x09:
        return "Error: FLASH_READ_ERR";
    case 0x0A:
        return "Error: READ_LENGTH_ERR";
    case 0x0B:
        return "Error: DEFLATE_ERROR";
    case 0xC0:
        return "Error: BAD_DATA_LEN";
    case 0xC1:
        return "Error: BAD_DATA_CHECKSUM";
    case 0xC2:
        return "Error: BAD_BLOCKSIZE";
    case 0xC3:
        return "Error: INVALID_COMMAND";
    case 0xC4:
        return "Error: FAILED_SPI_OP";
    case 0xC5:
        return "Error: FAILED_SPI_UNLOCK";
    case 0xC6:
        return "Error: NOT_IN_FLASH_MODE";
    case 0xC7:
        return "Error: INFLATE_ERROR";
    case 0xC8:
        return "Error: NOT_ENOUGH_DATA";
    case 0xC9:
        return "Error: TOO_MUCH_DATA";
    case 0xFF:
        return "Error: CMD_NOT_IMPLEMENTED";
    default:
        return "Error: UNKNOWN ERROR";
    }
}

void log_loader_internal_error(std::uint8_t error) {
    loader_port_debug_print(loader_error_text(error));
}

namespace {
LoaderResult begin_cmd(std::uint8_t opcode, std::uint32_t offset, std::uint32_t erase_size,
                       std::uint32_t block_size, std::uint32_t blocks, bool encryption) {
    s_sequence_number = 0;
    Packet<5> p(opcode, encryption ? 20 : 16);
    p.word(0, erase_size);
    p.word(1, blocks);
    p.word(2, block_size);
    p.word(3, offset);
    if (encryption) {
        p.word(4, 0);
        return p.send();
    }
    const loader_command cmd{p.bytes, LOADER_HEADER_SIZE + 16, nullptr, 0, nullptr, 0, nullptr, nullptr};
    return send_cmd(cmd);
}
} // namespace

LoaderResult loader_flash_begin_cmd(std::uint32_t offset, std::uint32_t erase_size, std::uint32_t block_size,
                                    std::uint32_t blocks, bool encryption) {
    return begin_cmd(FLASH_BEGIN, offset, erase_size, block_size, blocks, encryption);
}

LoaderResult loader_flash_data_cmd(const std::uint8_t* data, std::uint32_t size) {
    return data_cmd(FLASH_DATA, data, size);
}

namespace {
LoaderResult end_cmd(std::uint8_t opcode, bool stay_in_loader) {
    Packet<1> p(opcode, 4);
    p.word(0, stay_in_loader ? 1 : 0);
    return p.send();
}
} // namespace

LoaderResult loader_flash_end_cmd(bool stay_in_loader) {
    return end_cmd(FLASH_END, stay_in_loader);
}

LoaderResult loader_sync_cmd() {
    Packet<9> p(SYNC, 36);
    p.bytes[8] = 0x07;
    p.bytes[9] = 0x07;
    p.bytes[10] = 0x12;
    p.bytes[11] = 0x20;
    std::memset(p.bytes + 12, 0x55, 32);
    return p.send();
}

LoaderResult loader_write_reg_cmd(std::uint32_t address, std::uint32_t value, std::uint32_t mask,
                                  std::uint32_t delay_us) {
    Packet<4> p(WRITE_REG, 16);
    p.word(0, address);
    p.word(1, value);
    p.word(2, mask);
    p.word(3, delay_us);
    return p.send();
}

LoaderResult loader_read_reg_cmd(std::uint32_t address, std::uint32_t* value) {
    Packet<1> p(READ_REG, 4);
    p.word(0, address);
    return p.send(nullptr, 0, nullptr, value);
}

LoaderResult loader_spi_parameters(std::uint32_t total_size) {
    Packet<6> p(SPI_SET_PARAMS, 24);
    p.word(0, 0);
    p.word(1, total_size);
    p.word(2, 0x10000);
    p.word(3, 0x1000);
    p.word(4, 0x100);
    p.word(5, 0xFFFF);
    return p.send();
}

LoaderResult loader_spi_attach_cmd(std::uint32_t configuration) {
    Packet<2> p(SPI_ATTACH, 8);
    p.word(0, configuration);
    p.word(1, 0);
    if (s_stub_running) {
        // The stub takes the configuration word alone; the size field stays as the ROM's.
        const loader_command cmd{p.bytes, LOADER_HEADER_SIZE + 4, nullptr, 0, nullptr, 0, nullptr, nullptr};
        return send_cmd(cmd);
    }
    return p.send();
}

LoaderResult loader_get_security_info_cmd(std::uint8_t* response, std::uint32_t* response_length) {
    Packet<0> p(GET_SECURITY_INFO, 0);
    return p.send(response, 20, response_length);
}

LoaderResult loader_mem_begin_cmd(std::uint32_t offset, std::uint32_t size, std::uint32_t blocks,
                                  std::uint32_t block_size) {
    s_sequence_number = 0;
    Packet<4> p(MEM_BEGIN, 16);
    p.word(0, size);
    p.word(1, blocks);
    p.word(2, block_size);
    p.word(3, offset);
    return p.send();
}

LoaderResult loader_mem_data_cmd(const std::uint8_t* data, std::uint32_t size) {
    return data_cmd(MEM_DATA, data, size);
}

LoaderResult loader_mem_end_cmd(std::uint32_t entry) {
    return two_word_cmd(MEM_END, entry == 0 ? 1 : 0, entry);
}

LoaderResult loader_flash_read_rom_cmd(std::uint32_t address, std::uint8_t* buffer) {
    Packet<2> p(READ_FLASH_SLOW, 8);
    p.word(0, address);
    p.word(1, 64);
    return p.send(buffer, 64);
}

LoaderResult loader_change_baudrate_cmd(std::uint32_t new_rate, std::uint32_t old_rate) {
    return two_word_cmd(CHANGE_BAUDRATE, new_rate, old_rate);
}

LoaderResult loader_flash_deflate_begin_cmd(std::uint32_t offset, std::uint32_t erase_size,
                                            std::uint32_t block_size, std::uint32_t blocks, bool encryption) {
    return begin_cmd(FLASH_DEFL_BEGIN, offset, erase_size, block_size, blocks, encryption);
}

LoaderResult loader_flash_deflate_data_cmd(const std::uint8_t* data, std::uint32_t size) {
    return data_cmd(FLASH_DEFL_DATA, data, size);
}

LoaderResult loader_flash_deflate_end_cmd(bool stay_in_loader) {
    return end_cmd(FLASH_DEFL_END, stay_in_loader);
}

LoaderResult loader_md5_cmd(std::uint32_t address, std::uint32_t size, std::uint8_t* buffer,
                            std::uint32_t* received) {
    Packet<4> p(SPI_FLASH_MD5, 16);
    p.word(0, address);
    p.word(1, size);
    return p.send(buffer, s_stub_running ? 16 : 32, received);
}

std::uint32_t loader_md5_timeout(std::uint32_t size) {
    constexpr std::uint64_t kBaseMs = 3000;
    constexpr std::uint64_t kMsPerMiB = 8000;
    constexpr std::uint64_t kMiB = 1024 * 1024;
    return static_cast<std::uint32_t>(kBaseMs + (std::uint64_t{size} * kMsPerMiB + kMiB - 1) / kMiB);
}

bool loader_md5_digest(const std::uint8_t* data, std::uint32_t length, bool from_stub,
                       std::uint8_t digest[16]) {
    if (from_stub) {
        if (length != 16)
            return false;
        std::memcpy(digest, data, 16);
        return true;
    }
    if (length != 32)
        return false;
    const auto nibble = [](std::uint8_t c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::uint8_t parsed[16];
    for (int i = 0; i < 16; ++i) {
        const int high = nibble(data[2 * i]);
        const int low = nibble(data[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        parsed[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    std::memcpy(digest, parsed, 16);
    return true;
}

LoaderResult loader_fence_cmd(std::uint32_t address, std::uint8_t data_opcode, loader_fence* fence) {
    if (fence == nullptr)
        return LOADER_BAD_PARAM;
    Packet<1> p(READ_REG, 4);
    p.word(0, address);
    const LoaderResult sent = loader_send_frame(p.bytes, sizeof p.bytes);
    if (sent != LOADER_OK)
        return sent;
    ++s_fence_answers_due;
    ++s_fences_since_data;
    // Neither answer carries data: the first two status bytes end where the frame is cut.
    std::uint8_t frame[LOADER_HEADER_SIZE + LOADER_STATUS_SIZE];
    for (;;) {
        std::uint32_t length = 0;
        const LoaderResult r = SLIP_receive_packet(frame, sizeof frame, &length);
        if (r != LOADER_OK)
            return r;
        if (is_fence_answer(frame, length)) {
            // The answers of fences sent before the data command come first.
            const bool earlier = s_fence_answers_due > s_fences_since_data;
            if (s_fence_answers_due > 0)
                --s_fence_answers_due;
            if (!earlier)
                return LOADER_OK;
        } else if (loader_response_matches(frame, length, data_opcode, 0)) {
            if (frame[length - 2] != 0) {
                log_loader_internal_error(frame[length - 1]);
            } else if (!fence->accepted) {
                fence->accepted = true;
                ++s_sequence_number;
            }
        }
    }
}

LoaderResult loader_flash_erase_cmd() {
    Packet<0> p(ERASE_FLASH, 0);
    return p.send();
}

LoaderResult loader_flash_erase_region_cmd(std::uint32_t offset, std::uint32_t size) {
    return two_word_cmd(ERASE_REGION, offset, size);
}

LoaderResult loader_flash_read_stub_cmd(std::uint32_t offset, std::uint32_t length,
                                        std::uint32_t packet_size) {
    Packet<4> p(READ_FLASH, 16);
    p.word(0, offset);
    p.word(1, length);
    p.word(2, packet_size);
    p.word(3, 1);
    return p.send();
}

LoaderResult loader_send_frame(const std::uint8_t* data, std::uint32_t size) {
    LoaderResult r = SLIP_send_delimiter();
    if (r == LOADER_OK)
        r = SLIP_send(data, size);
    if (r == LOADER_OK)
        r = SLIP_send_delimiter();
    return r;
}
