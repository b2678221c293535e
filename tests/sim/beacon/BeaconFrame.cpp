#include "tests/sim/beacon/BeaconFrame.h"

namespace tavisk::sim {

std::uint8_t beaconCrc8(const std::uint8_t* data, std::size_t size) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint8_t>((crc >> 1) ^ 0x8C)
                            : static_cast<std::uint8_t>(crc >> 1);
    }
    return crc;
}

std::vector<std::uint8_t> beaconFrame(const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame;
    frame.reserve(payload.size() + 3);
    frame.push_back(0x7E);
    frame.push_back(static_cast<std::uint8_t>(payload.size() - 1));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(beaconCrc8(payload.data(), payload.size()));
    return frame;
}

BeaconFrameReader::Result BeaconFrameReader::feed(std::uint8_t byte) {
    switch (state) {
    case State::Start:
        if (byte == 0x7E)
            state = State::Length;
        return Result::None;
    case State::Length:
        if (byte == 0xFF) {
            state = State::Start;
            return Result::BadLength;
        }
        expected = static_cast<std::size_t>(byte) + 1;
        body.clear();
        state = State::Payload;
        return Result::None;
    case State::Payload:
        body.push_back(byte);
        if (body.size() >= expected)
            state = State::Crc;
        return Result::None;
    case State::Crc:
        state = State::Start;
        crc = byte;
        return byte == beaconCrc8(body.data(), body.size()) ? Result::Frame : Result::BadCrc;
    }
    return Result::None;
}

std::vector<std::uint8_t> BeaconFrameReader::rawFrame() const {
    std::vector<std::uint8_t> raw;
    raw.push_back(0x7E);
    raw.push_back(static_cast<std::uint8_t>(body.size() - 1));
    raw.insert(raw.end(), body.begin(), body.end());
    raw.push_back(crc);
    return raw;
}

} // namespace tavisk::sim
