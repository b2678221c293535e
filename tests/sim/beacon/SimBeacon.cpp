#include "tests/sim/beacon/SimBeacon.h"

#include <algorithm>
#include <cstdio>

namespace tavisk::sim {

namespace {

constexpr std::uint8_t kDeviceInfo = 1;
constexpr std::uint8_t kSetField = 3;
constexpr std::uint8_t kFieldInfo = 5;
constexpr std::uint8_t kFileWrite = 8;

std::size_t valueSize(std::uint8_t type) {
    static const std::uint8_t sizes[12] = {1, 1, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8};
    return type < 12 ? sizes[type] : 0;
}

std::uint32_t readLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string commandName(std::uint8_t command) {
    switch (command) {
    case kDeviceInfo:
        return "device info";
    case kSetField:
        return "set field";
    case kFieldInfo:
        return "field info";
    case kFileWrite:
        return "file write";
    default:
        return "command " + std::to_string(command);
    }
}

} // namespace

std::vector<BeaconField> beaconFields(std::size_t eraseIndex) {
    std::vector<BeaconField> fields = {{"serial", 8}, {"channel", 0}, {"reboot", 0}};
    fields.insert(fields.begin() + static_cast<long>(std::min(eraseIndex, fields.size())), {"erase", 8});
    return fields;
}

const std::vector<std::uint8_t>& SimBeacon::bootloaderEntryFrame() {
    static const std::vector<std::uint8_t> frame = {0x7E, 0x08, 0x00, 0x02, 0x03, 0x02,
                                                    0x08, 0x01, 0x00, 0x00, 0x00, 0x1E};
    return frame;
}

SimBeacon::SimBeacon(Config config) : config(std::move(config)) {
    values.assign(this->config.fields.size(), 0);
}

void SimBeacon::addFault(const FaultPlan& plan) {
    std::lock_guard<std::mutex> lock(mutex);
    faults.push_back(plan);
    faultSeen.push_back(0);
}

void SimBeacon::setExpectedImage(std::vector<std::uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    expected = std::move(bytes);
}

void SimBeacon::setBootloaderPeer(std::shared_ptr<LinePeer> peer) {
    std::lock_guard<std::mutex> lock(mutex);
    bootloader = std::move(peer);
}

void SimBeacon::setObserver(std::function<void(const std::string&)> callback) {
    std::lock_guard<std::mutex> lock(mutex);
    observer = std::move(callback);
}

void SimBeacon::note(const std::string& line) {
    lines.push_back(line);
    if (observer)
        observer(line);
}

void SimBeacon::violation(const std::string& line) {
    problems.push_back(line);
    note("VIOLATION: " + line);
}

void SimBeacon::receive(const std::uint8_t* data, std::size_t size, SimTime at) {
    std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t i = 0; i < size; ++i) {
        if (handed) {
            bootloader->receive(data + i, size - i, at);
            return;
        }
        switch (reader.feed(data[i])) {
        case BeaconFrameReader::Result::Frame:
            handleFrame(reader.payload(), reader.rawFrame(), at);
            break;
        case BeaconFrameReader::Result::BadCrc:
            note("rx frame with a wrong CRC, dropped");
            break;
        case BeaconFrameReader::Result::BadLength:
        case BeaconFrameReader::Result::None:
            break;
        }
    }
}

SimTime SimBeacon::nextDue() const {
    std::lock_guard<std::mutex> lock(mutex);
    SimTime next = pending.empty() ? SimTime::max() : pending.front().due;
    if (handed)
        next = std::min(next, bootloader->nextDue());
    return next;
}

std::vector<Emission> SimBeacon::takeDue(SimTime now) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Emission> out;
    while (!pending.empty() && pending.front().due <= now) {
        out.push_back(std::move(pending.front()));
        pending.pop_front();
    }
    if (handed) {
        for (auto& e : bootloader->takeDue(now))
            out.push_back(std::move(e));
    }
    return out;
}

bool SimBeacon::hangUpRequested() const {
    std::lock_guard<std::mutex> lock(mutex);
    return hangUp || (handed && bootloader->hangUpRequested());
}

void SimBeacon::emit(SimTime due, std::vector<std::uint8_t> bytes) {
    auto it = std::upper_bound(pending.begin(), pending.end(), due,
                               [](SimTime t, const Emission& e) { return t < e.due; });
    pending.insert(it, Emission{due, std::move(bytes)});
}

std::optional<SimBeacon::FaultPlan> SimBeacon::takeFault(std::uint8_t command) {
    for (std::size_t i = 0; i < faults.size(); ++i) {
        if (faults[i].command != 0 && faults[i].command != command)
            continue;
        if (faultSeen[i]++ < faults[i].skip)
            continue;
        FaultPlan plan = faults[i];
        faults.erase(faults.begin() + static_cast<long>(i));
        faultSeen.erase(faultSeen.begin() + static_cast<long>(i));
        return plan;
    }
    return std::nullopt;
}

void SimBeacon::handleFrame(const std::vector<std::uint8_t>& payload, const std::vector<std::uint8_t>& raw,
                            SimTime at) {
    if (raw == bootloaderEntryFrame()) {
        note("rx bootloader entry request");
        if (bootloader) {
            handed = true;
            note("line handed to the ROM bootloader");
        }
        return;
    }
    if (payload.size() < 3) {
        note("rx short payload of " + std::to_string(payload.size()) + " bytes, ignored");
        return;
    }
    const std::uint8_t pack = payload[0];
    const std::uint8_t address = payload[1];
    const std::uint8_t command = payload[2];
    if (lastPack && pack != static_cast<std::uint8_t>(*lastPack + 1))
        violation("pack #" + std::to_string(pack) + " after pack #" + std::to_string(*lastPack));
    lastPack = pack;
    ++commandCounts[command];
    note("rx " + commandName(command) + " to device " + std::to_string(address) + ", pack #" +
         std::to_string(pack) + ", " + std::to_string(payload.size()) + " bytes");
    if (address != config.address && address != 0xFF)
        return;

    std::vector<std::uint8_t> answer;
    switch (command) {
    case kDeviceInfo:
        answer = answerDeviceInfo(pack);
        break;
    case kFieldInfo:
        answer = answerFieldInfo(payload);
        break;
    case kSetField:
        answer = answerSetField(payload);
        break;
    case kFileWrite:
        answer = answerFileWrite(payload, at);
        break;
    default:
        answer = {pack, config.address, 7}; // unknown command
        break;
    }
    sendAnswer(command, std::move(answer), at);
}

std::vector<std::uint8_t> SimBeacon::answerDeviceInfo(std::uint8_t pack) {
    std::vector<std::uint8_t> a = {pack, config.address, 0, config.versionMajor, config.versionMinor, 0, 0};
    a.push_back(static_cast<std::uint8_t>(config.fields.size()));
    a.insert(a.end(), 4, 0);
    const std::size_t nameLength = std::min<std::size_t>(config.name.size(), 62);
    a.push_back(static_cast<std::uint8_t>(nameLength));
    std::vector<std::uint8_t> name(63, 0);
    std::copy_n(config.name.begin(), nameLength, name.begin());
    a.insert(a.end(), name.begin(), name.end());
    return a;
}

std::vector<std::uint8_t> SimBeacon::answerFieldInfo(const std::vector<std::uint8_t>& req) {
    if (req.size() < 4 || req[3] >= config.fields.size())
        return {req[0], config.address, 1};
    const FieldSpec& field = config.fields[req[3]];
    std::vector<std::uint8_t> a = {req[0], config.address, 0, field.type,
                                   static_cast<std::uint8_t>(field.name.size())};
    a.insert(a.end(), field.name.begin(), field.name.end());
    return a;
}

std::vector<std::uint8_t> SimBeacon::answerSetField(const std::vector<std::uint8_t>& req) {
    if (req.size() < 5 || req[3] >= config.fields.size())
        return {req[0], config.address, 1};
    const std::size_t index = req[3];
    const std::size_t size = valueSize(req[4]);
    if (req.size() < 5 + size)
        return {req[0], config.address, 2};
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value |= static_cast<std::uint64_t>(req[5 + i]) << (8 * i);
    values[index] = value;
    if (config.fields[index].name == "erase") {
        armed = size >= 4 && static_cast<std::uint32_t>(value) == config.eraseCode;
        note(armed ? "erase armed" : "erase field written without the erase code");
    }
    return {req[0], config.address, 0};
}

std::vector<std::uint8_t> SimBeacon::answerFileWrite(const std::vector<std::uint8_t>& req, SimTime at) {
    if (at < fileAnswerDue)
        violation("file-write request while the answer to the previous one is outstanding");
    if (req.size() < 8)
        return {req[0], config.address, 2};
    const std::uint32_t offset = readLe32(&req[4]);
    const std::size_t dataSize = req.size() - 8;
    const std::uint8_t ok = 0;
    // The erase code written anew starts the file over, also after a transfer that stopped
    // half-way (which leaves the file open).
    if (dataSize == 0 && (!erased || (armed && offset == 0))) {
        if (offset != 0)
            violation("erase request at offset " + std::to_string(offset));
        if (!armed) {
            violation("erase request without the erase code written first");
            return {req[0], config.address, 4};
        }
        armed = false;
        erased = true;
        complete = false;
        image.clear();
        note("file erased");
        return {req[0], config.address, ok};
    }
    if (!erased) {
        violation("file data before an erase");
        return {req[0], config.address, 5};
    }
    if (dataSize == 0) {
        if (offset != image.size())
            violation("closing request at offset " + std::to_string(offset) + " after " +
                      std::to_string(image.size()) + " bytes");
        erased = false;
        complete = true;
        note("file closed after " + std::to_string(image.size()) + " bytes");
        // A device that checks its image refuses to close a wrong one, so the program cannot
        // report success for it.
        if (expected && image != *expected) {
            violation("received image differs from the expected one");
            return {req[0], config.address, 8};
        }
        return {req[0], config.address, ok};
    }
    const std::uint8_t* data = &req[8];
    if (offset == image.size()) {
        image.insert(image.end(), data, data + dataSize);
        return {req[0], config.address, ok};
    }
    // The same chunk once more (its answer was lost): acknowledge it again.
    if (offset + dataSize == image.size() && std::equal(data, data + dataSize, image.end() - dataSize))
        return {req[0], config.address, ok};
    violation("chunk at offset " + std::to_string(offset) + " after " + std::to_string(image.size()) +
              " bytes");
    return {req[0], config.address, 6};
}

void SimBeacon::sendAnswer(std::uint8_t command, std::vector<std::uint8_t> payload, SimTime at) {
    SimTime due = at + config.answerDelay;
    std::optional<FaultPlan> fault = takeFault(command);
    std::vector<std::uint8_t> frame;
    if (fault) {
        switch (fault->fault) {
        case Fault::WrongPack:
            payload[0] = static_cast<std::uint8_t>(payload[0] + 0x55);
            break;
        case Fault::StalePack:
            payload[0] = static_cast<std::uint8_t>(payload[0] - 1);
            break;
        case Fault::ErrorStatus:
            payload[2] = fault->status;
            break;
        case Fault::Late:
            due += fault->delay;
            break;
        default:
            break;
        }
    }
    frame = beaconFrame(payload);
    if (command == kFileWrite)
        fileAnswerDue = due;
    if (!fault) {
        emit(due, std::move(frame));
        return;
    }
    static const char* const names[] = {
        "bad CRC",   "wrong pack", "stale pack",      "drop",        "late",   "error status",
        "truncated", "noise",      "noise with 0x7E", "split bytes", "hang-up"};
    note("fault: " + std::string(names[static_cast<int>(fault->fault)]) + " on the answer to " +
         commandName(command));
    switch (fault->fault) {
    case Fault::BadCrc:
        frame.back() = static_cast<std::uint8_t>(frame.back() ^ 0xA5);
        emit(due, std::move(frame));
        break;
    case Fault::Drop:
        fileAnswerDue = {};
        break;
    case Fault::HangUp:
        fileAnswerDue = {};
        hangUp = true;
        break;
    case Fault::Truncated:
        frame.resize(frame.size() / 2);
        emit(due, std::move(frame));
        break;
    case Fault::Noise:
        emit(due, {0x11, 0x22, 0x33, 0x44});
        emit(due + std::chrono::milliseconds(2), std::move(frame));
        break;
    case Fault::NoiseWithStart:
        // The stray start byte makes 0x22 a length byte that swallows the answer.
        emit(due, {0x11, 0x7E, 0x22, 0x33});
        emit(due + std::chrono::milliseconds(2), std::move(frame));
        break;
    case Fault::SplitBytes:
        for (std::size_t i = 0; i < frame.size(); ++i)
            emit(due + std::chrono::milliseconds(i), {frame[i]});
        break;
    default:
        emit(due, std::move(frame));
        break;
    }
}

std::vector<std::string> SimBeacon::transcript() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
}

std::vector<std::string> SimBeacon::violations() const {
    std::lock_guard<std::mutex> lock(mutex);
    return problems;
}

std::vector<std::uint8_t> SimBeacon::receivedImage() const {
    std::lock_guard<std::mutex> lock(mutex);
    return image;
}

bool SimBeacon::imageComplete() const {
    std::lock_guard<std::mutex> lock(mutex);
    return complete;
}

bool SimBeacon::imageMatches() const {
    std::lock_guard<std::mutex> lock(mutex);
    return complete && expected && image == *expected;
}

bool SimBeacon::eraseArmed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return armed;
}

bool SimBeacon::handedOff() const {
    std::lock_guard<std::mutex> lock(mutex);
    return handed;
}

std::size_t SimBeacon::requestCount(std::uint8_t command) const {
    std::lock_guard<std::mutex> lock(mutex);
    return commandCounts[command];
}

std::uint32_t SimBeacon::fieldValue(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex);
    return index < values.size() ? static_cast<std::uint32_t>(values[index]) : 0;
}

} // namespace tavisk::sim
