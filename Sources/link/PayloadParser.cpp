#include "link/PayloadParser.h"

#include "core/LoggerManager.h"
#include "link/FastCrc8.h"

#include <utility>

namespace {
const std::string kPrefix = "PayloadHandler: ";
}

PayloadParser::PayloadParser(PayloadCallback callback) : onPayload(std::move(callback)) {}

std::uint64_t PayloadParser::update(void const* data, unsigned long long count) {
    if (count == 0)
        return 0;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint64_t handed = 0;
    for (unsigned long long i = 0; i < count; ++i) {
        // A frame ended by the previous byte (or call): look for the next one from here on.
        if (parserState >= FRAME_COMPLETE)
            parserState = WAIT_START;
        const std::uint8_t b = bytes[i];
        switch (parserState) {
        case WAIT_START:
            if (b == PayloadFrame::kStart)
                parserState = READ_LENGTH;
            break;
        case READ_LENGTH:
            expectedLength = static_cast<std::uint64_t>(b) + 1;
            if (b == 0xFF) {
                parserState = FRAME_BAD_LENGTH;
            } else {
                receivedCount = 0;
                parserState = READ_PAYLOAD;
            }
            break;
        case READ_PAYLOAD:
            rxBuffer[receivedCount++] = b;
            if (receivedCount >= expectedLength)
                parserState = READ_CRC;
            break;
        case READ_CRC:
            parserState = b == FastCrc8::update(0, rxBuffer, expectedLength) ? FRAME_COMPLETE : FRAME_BAD_CRC;
            break;
        default:
            break;
        }

        if (parserState == FRAME_COMPLETE) {
            ++handed;
            onPayload(rxBuffer, static_cast<std::size_t>(expectedLength));
        } else if (parserState == FRAME_BAD_CRC) {
            LoggerManager::getInstance().log("received message with wrong CRC", BaseLogger::ERROR, kPrefix);
        }
    }

    if (parserState == WAIT_START)
        LoggerManager::getInstance().log("received message is not Payload type", BaseLogger::WARNING,
                                         kPrefix);
    return handed;
}
