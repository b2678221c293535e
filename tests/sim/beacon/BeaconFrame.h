#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavisk::sim {

// The device's side of the payload frame: 0x7E, payload length - 1, payload, CRC-8 of the
// payload. Kept apart from the program's framing on purpose, so that a fault in one is not
// mirrored by the other: the CRC here is computed bit by bit.
std::uint8_t beaconCrc8(const std::uint8_t* data, std::size_t size);
std::vector<std::uint8_t> beaconFrame(const std::vector<std::uint8_t>& payload);

// Reads frames byte by byte. A length byte of 0xFF starts no frame; a frame with a wrong CRC
// is counted and dropped, and reading resumes after it.
class BeaconFrameReader {
public:
    enum class Result { None, Frame, BadCrc, BadLength };

    Result feed(std::uint8_t byte);
    // The payload of the frame that the last Frame result completed.
    const std::vector<std::uint8_t>& payload() const { return body; }
    // The whole frame (start byte to CRC) that the last Frame result completed.
    std::vector<std::uint8_t> rawFrame() const;
    bool inFrame() const { return state != State::Start; }

private:
    enum class State { Start, Length, Payload, Crc };
    State state = State::Start;
    std::size_t expected = 0;
    std::vector<std::uint8_t> body;
    std::uint8_t crc = 0;
};

} // namespace tavisk::sim
