#pragma once

#include "link/PayloadFrame.h"

#include <cstdint>
#include <functional>

// Reads payload frames from a byte stream fed in arbitrary pieces. A partial frame waits
// for the next call, without a time limit. Free of I/O: every complete payload with a good
// CRC goes to the callback given at construction, on the calling thread.
class PayloadParser {
public:
    enum ParserState : std::int32_t {
        WAIT_START = 0,
        READ_LENGTH = 1,
        READ_PAYLOAD = 2,
        READ_CRC = 3,
        FRAME_COMPLETE = 4,
        FRAME_BAD_CRC = 5,
        FRAME_BAD_LENGTH = 6,
    };

    using PayloadCallback = std::function<void(const std::uint8_t* payload, std::size_t length)>;

    explicit PayloadParser(PayloadCallback onPayload);

    // Feeds `count` bytes; returns how many payloads went to the callback. Logs the ERROR
    // "received message with wrong CRC" per bad frame and, when the bytes end outside a
    // frame, the WARNING "received message is not Payload type" once.
    std::uint64_t update(void const* data, unsigned long long count);

    ParserState getState() const { return parserState; }

private:
    PayloadCallback onPayload;
    std::uint8_t rxBuffer[264] = {};
    std::uint64_t expectedLength = 0;
    std::uint64_t receivedCount = 0;
    ParserState parserState = WAIT_START;
};
