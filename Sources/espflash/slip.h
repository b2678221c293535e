#pragma once

#include "espflash/loader_types.h"

#include <cstddef>
#include <cstdint>

// SLIP framing of the ROM-loader protocol: 0xC0 delimits a frame, 0xC0 and 0xDB inside it are
// sent as 0xDB 0xDC and 0xDB 0xDD.
constexpr std::uint8_t SLIP_DELIMITER = 0xC0;
constexpr std::uint8_t SLIP_ESCAPE = 0xDB;
constexpr std::uint8_t SLIP_C0_REPLACEMENT = 0xDC;
constexpr std::uint8_t SLIP_DB_REPLACEMENT = 0xDD;

// Splits `size` bytes into the pieces that go on the wire: runs of bytes that need no escape
// (handed over as they are) and two-byte replacements. Stops at the first piece for which
// `sink` returns something other than LOADER_OK and returns that.
template <typename Sink> LoaderResult SLIP_encode(const std::uint8_t* data, std::size_t size, Sink&& sink) {
    static const std::uint8_t c0[2] = {SLIP_ESCAPE, SLIP_C0_REPLACEMENT};
    static const std::uint8_t db[2] = {SLIP_ESCAPE, SLIP_DB_REPLACEMENT};
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != SLIP_DELIMITER && data[i] != SLIP_ESCAPE)
            continue;
        if (i > runStart) {
            const LoaderResult r = sink(data + runStart, i - runStart);
            if (r != LOADER_OK)
                return r;
        }
        const LoaderResult r = sink(data[i] == SLIP_DELIMITER ? c0 : db, std::size_t{2});
        if (r != LOADER_OK)
            return r;
        runStart = i + 1;
    }
    if (size > runStart)
        return sink(data + runStart, size - runStart);
    return LOADER_OK;
}

// Receives one frame byte by byte into a buffer of fixed capacity: skips what comes before the
// opening delimiter and repeated delimiters, decodes escapes (the first byte's too), and cuts a
// frame longer than the capacity, discarding the rest up to its closing delimiter.
class SlipDecoder {
public:
    enum Status { MORE, DONE, BAD_ESCAPE };

    SlipDecoder(std::uint8_t* buffer, std::size_t capacity) : buffer(buffer), capacity(capacity) {}
    Status feed(std::uint8_t byte);
    std::size_t length() const { return stored; }

private:
    enum State { HUNT, OPENED, IN_FRAME, ESCAPED, DISCARD };
    std::uint8_t* buffer;
    std::size_t capacity;
    std::size_t stored = 0;
    State state = HUNT;
};

LoaderResult SLIP_send_delimiter();
// Writes the bytes escaped, one port write per plain run and per replacement.
LoaderResult SLIP_send(const std::uint8_t* data, std::uint32_t size);
// Reads one frame under the command's deadline; a frame longer than the capacity is cut.
LoaderResult SLIP_receive_packet(std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t* length);
