// Arbitrary bytes as SLIP frames and as a chip's answers: the decoder never writes past its
// buffer, encoding and decoding give back what went in, and the commands that parse answers
// take any input without reading out of bounds.
#include "espflash/protocol_serial.h"
#include "espflash/slip.h"
#include "tests/espflash/FakeLoaderPort.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t capacity = 1 + data[0] % 80;
    const std::vector<std::uint8_t> input(data + 1, data + size);

    std::vector<std::uint8_t> buffer(capacity);
    SlipDecoder decoder(buffer.data(), buffer.size());
    for (std::uint8_t b : input) {
        const SlipDecoder::Status s = decoder.feed(b);
        if (decoder.length() > capacity)
            std::abort();
        if (s != SlipDecoder::MORE)
            break;
    }

    std::vector<std::uint8_t> wire{SLIP_DELIMITER};
    SLIP_encode(input.data(), input.size(), [&](const std::uint8_t* p, std::size_t n) {
        wire.insert(wire.end(), p, p + n);
        return LOADER_OK;
    });
    wire.push_back(SLIP_DELIMITER);
    if (!input.empty()) {
        std::vector<std::uint8_t> back(input.size());
        SlipDecoder again(back.data(), back.size());
        SlipDecoder::Status s = SlipDecoder::MORE;
        for (std::uint8_t b : wire)
            s = again.feed(b);
        if (s != SlipDecoder::DONE || again.length() != input.size() || back != input)
            std::abort();
    }

    tavisk::test::FakeLoaderPort port;
    port.script(input);
    port.startTimer(1000);
    std::uint8_t security[20];
    std::uint32_t length = 0;
    if (loader_get_security_info_cmd(security, &length) == LOADER_OK && length > sizeof security)
        std::abort();
    port.script(input);
    port.startTimer(1000);
    std::uint32_t value = 0;
    loader_read_reg_cmd(0, &value);
    port.script(input);
    port.startTimer(1000);
    loader_sync_cmd();
    return 0;
}
