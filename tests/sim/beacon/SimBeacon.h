#pragma once

#include "tests/sim/beacon/BeaconFrame.h"
#include "tests/sim/pty/LinePeer.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavisk::sim {

struct BeaconField {
    std::string name;
    std::uint8_t type = 8;
};

// A field table of four fields with "erase" at `eraseIndex` (clamped to the table).
std::vector<BeaconField> beaconFields(std::size_t eraseIndex);

struct BeaconConfig {
    std::uint8_t address = 5;
    std::uint8_t versionMajor = 2;
    std::uint8_t versionMinor = 13;
    std::string name = "beacon";
    std::vector<BeaconField> fields = beaconFields(1);
    std::uint32_t eraseCode = 0x2C71D94A;
    // Time the device takes to answer a request.
    std::chrono::microseconds answerDelay{0};
};

// A simulated beacon on the payload protocol: identity, a field table, field writes (the
// erase code written into the field "erase" arms the erase) and the three file-write
// requests (erase, chunk, close). It keeps the received image and checks it, the pack
// numbers (each request one above the one before, modulo 256) and that no file-write request
// arrives while the answer to the previous one is still outstanding. Faults are injected on
// demand, one answer at a time.
//
// On the exact 12-byte frame that asks the device to switch its ESP32 into the ROM
// bootloader, it hands the line to the bootloader peer, if one is set: every later byte goes
// there and that peer's emissions go out instead.
class SimBeacon : public LinePeer {
public:
    using FieldSpec = BeaconField;
    using Config = BeaconConfig;

    static const std::vector<std::uint8_t>& bootloaderEntryFrame();

    enum class Fault {
        BadCrc,         // the answer's CRC byte is wrong
        WrongPack,      // the answer carries a pack number the program never sent
        StalePack,      // the answer carries the previous request's pack number
        Drop,           // no answer at all
        Late,           // the answer comes `delay` after the request
        ErrorStatus,    // the answer carries status `status`
        Truncated,      // only the first half of the answer frame is sent
        Noise,          // bytes without 0x7E just before the answer
        NoiseWithStart, // bytes with a stray 0x7E just before the answer
        SplitBytes,     // the answer arrives one byte at a time, 1 ms apart
        HangUp,         // instead of answering, the device hangs up the line
    };

    // Applies `fault` to one answer: to the (skip + 1)-th answer to `command` from now on
    // (command 0: to any request).
    struct FaultPlan {
        Fault fault = Fault::Drop;
        std::uint8_t command = 0;
        unsigned skip = 0;
        std::chrono::milliseconds delay{0};
        std::uint8_t status = 3;
    };

    explicit SimBeacon(Config config = Config());

    void addFault(const FaultPlan& plan);
    void setExpectedImage(std::vector<std::uint8_t> image);
    void setBootloaderPeer(std::shared_ptr<LinePeer> peer);
    // Called with every transcript line as it is made (on the transport's thread).
    void setObserver(std::function<void(const std::string&)> observer);

    // LinePeer.
    void receive(const std::uint8_t* data, std::size_t size, SimTime at) override;
    SimTime nextDue() const override;
    std::vector<Emission> takeDue(SimTime now) override;
    bool hangUpRequested() const override;

    // What the device saw and did, one line per event.
    std::vector<std::string> transcript() const;
    // Protocol violations seen (pack numbers, outstanding requests, offsets, image).
    std::vector<std::string> violations() const;
    std::vector<std::uint8_t> receivedImage() const;
    bool imageComplete() const; // a closing request was accepted
    bool imageMatches() const;  // complete and equal to the expected image
    bool eraseArmed() const;
    bool handedOff() const;
    std::size_t requestCount(std::uint8_t command) const;
    std::uint32_t fieldValue(std::size_t index) const;

private:
    void handleFrame(const std::vector<std::uint8_t>& payload, const std::vector<std::uint8_t>& raw,
                     SimTime at);
    std::vector<std::uint8_t> answerDeviceInfo(std::uint8_t pack);
    std::vector<std::uint8_t> answerFieldInfo(const std::vector<std::uint8_t>& req);
    std::vector<std::uint8_t> answerSetField(const std::vector<std::uint8_t>& req);
    std::vector<std::uint8_t> answerFileWrite(const std::vector<std::uint8_t>& req, SimTime at);
    void sendAnswer(std::uint8_t command, std::vector<std::uint8_t> payload, SimTime at);
    void emit(SimTime due, std::vector<std::uint8_t> bytes);
    std::optional<FaultPlan> takeFault(std::uint8_t command);
    void note(const std::string& line);
    void violation(const std::string& line);

    const Config config;

    // Guards everything below: the transport's thread feeds the device while tests read
    // its results and add faults.
    mutable std::mutex mutex;
    std::function<void(const std::string&)> observer;
    BeaconFrameReader reader;
    std::deque<Emission> pending; // in order of due time
    std::vector<FaultPlan> faults;
    std::vector<unsigned> faultSeen; // matching answers counted per plan
    std::vector<std::string> lines;
    std::vector<std::string> problems;
    std::vector<std::uint64_t> values;
    std::vector<std::size_t> commandCounts = std::vector<std::size_t>(256, 0);
    std::optional<std::uint8_t> lastPack;
    std::shared_ptr<LinePeer> bootloader;
    bool handed = false;
    bool hangUp = false;
    bool armed = false;
    bool erased = false;
    bool complete = false;
    std::optional<std::vector<std::uint8_t>> expected;
    std::vector<std::uint8_t> image;
    SimTime fileAnswerDue{};
};

} // namespace tavisk::sim
