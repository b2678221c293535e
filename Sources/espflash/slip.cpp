#include "espflash/slip.h"

#include "espflash/loader_port.h"

SlipDecoder::Status SlipDecoder::feed(std::uint8_t byte) {
    switch (state) {
    case HUNT:
        if (byte == SLIP_DELIMITER)
            state = OPENED;
        return MORE;
    case OPENED:
        // Delimiters between frames are fillers; the first other byte opens the frame.
        if (byte == SLIP_DELIMITER)
            return MORE;
        state = IN_FRAME;
        [[fallthrough]];
    case IN_FRAME:
        if (byte == SLIP_DELIMITER)
            return DONE;
        if (byte == SLIP_ESCAPE) {
            state = ESCAPED;
            return MORE;
        }
        break;
    case ESCAPED:
        if (byte == SLIP_C0_REPLACEMENT)
            byte = SLIP_DELIMITER;
        else if (byte == SLIP_DB_REPLACEMENT)
            byte = SLIP_ESCAPE;
        else
            return BAD_ESCAPE;
        state = IN_FRAME;
        break;
    case DISCARD:
        return byte == SLIP_DELIMITER ? DONE : MORE;
    }
    if (stored < capacity)
        buffer[stored++] = byte;
    if (stored == capacity)
        state = DISCARD;
    return MORE;
}

LoaderResult SLIP_send_delimiter() {
    const std::uint8_t delimiter = SLIP_DELIMITER;
    return loader_port_write(&delimiter, 1, loader_port_remaining_time());
}

LoaderResult SLIP_send(const std::uint8_t* data, std::uint32_t size) {
    if (size == 0)
        return LOADER_OK;
    return SLIP_encode(data, size, [](const std::uint8_t* piece, std::size_t n) {
        // Runs longer than one port write can carry go out in several writes.
        while (n > 0) {
            const std::uint16_t chunk = static_cast<std::uint16_t>(n > 0xFFFF ? 0xFFFF : n);
            const LoaderResult r = loader_port_write(piece, chunk, loader_port_remaining_time());
            if (r != LOADER_OK)
                return r;
            piece += chunk;
            n -= chunk;
        }
        return LOADER_OK;
    });
}

LoaderResult SLIP_receive_packet(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t* length) {
    if (buffer == nullptr || capacity == 0 || length == nullptr)
        return LOADER_BAD_PARAM;
    SlipDecoder decoder(buffer, capacity);
    for (;;) {
        std::uint8_t byte = 0;
        const LoaderResult r = loader_port_read(&byte, 1, loader_port_remaining_time());
        if (r != LOADER_OK)
            return r;
        const SlipDecoder::Status s = decoder.feed(byte);
        if (s == SlipDecoder::BAD_ESCAPE)
            return LOADER_BAD_RESPONSE;
        if (s == SlipDecoder::DONE) {
            *length = static_cast<std::uint32_t>(decoder.length());
            return LOADER_OK;
        }
    }
}
