#include "tests/sim/rom/SimRomLoader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tavisk::sim {

namespace {
constexpr std::uint8_t END = 0xC0;
constexpr std::uint8_t ESC = 0xDB;
constexpr std::uint8_t ESC_END = 0xDC;
constexpr std::uint8_t ESC_ESC = 0xDD;
constexpr std::uint32_t kBusyBit = 0x40000;
constexpr std::uint32_t kSector = 4096;

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    if (at + 4 > b.size())
        return 0;
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

void append32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
    return text;
}

bool strikes(int& counter) {
    if (counter <= 0)
        return false;
    --counter;
    return true;
}

// As above, once `after` commands have passed.
bool strikes(int& counter, int& after) {
    if (counter <= 0)
        return false;
    if (after > 0) {
        --after;
        return false;
    }
    --counter;
    return true;
}

std::vector<std::uint8_t> hexText(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::vector<std::uint8_t> text;
    for (std::uint8_t b : bytes) {
        text.push_back(static_cast<std::uint8_t>(digits[b >> 4]));
        text.push_back(static_cast<std::uint8_t>(digits[b & 0x0F]));
    }
    return text;
}
} // namespace

std::vector<std::uint32_t> SimRomLoader::Command::words() const {
    std::vector<std::uint32_t> w;
    for (std::size_t at = 0; at + 4 <= data.size(); at += 4)
        w.push_back(le32(data, at));
    return w;
}

SimRomLoader::SimRomLoader(Config config)
    : cfg(std::move(config)), registers(cfg.registers), flashMemory(cfg.flashSize, cfg.flashFill) {}

SimRomLoader::Time SimRomLoader::byteTime() const {
    if (cfg.baud == 0)
        return Time(0);
    return Time(10'000'000'000LL / cfg.baud);
}

std::uint32_t SimRomLoader::reg(std::uint32_t address) const {
    const auto it = registers.find(address);
    return it == registers.end() ? 0 : it->second;
}

void SimRomLoader::receive(const std::uint8_t* data, std::size_t size, Time now) {
    for (std::size_t i = 0; i < size; ++i) {
        rxDoneAt = std::max(rxDoneAt, now) + byteTime();
        const std::uint8_t b = data[i];
        if (!inFrame) {
            if (b == END) {
                inFrame = true;
                frame.clear();
                escaped = badFrame = false;
            }
            continue;
        }
        if (escaped) {
            escaped = false;
            if (b == ESC_END)
                frame.push_back(END);
            else if (b == ESC_ESC)
                frame.push_back(ESC);
            else
                badFrame = true;
            continue;
        }
        if (b == ESC) {
            escaped = true;
        } else if (b == END) {
            if (frame.empty())
                continue; // a delimiter between frames; the next one opens here
            frameComplete();
            frame.clear();
            escaped = badFrame = false;
        } else {
            frame.push_back(b);
        }
    }
}

void SimRomLoader::frameComplete() {
    if (streaming && !badFrame && frame.size() == 4) {
        // The client acknowledges a packet of a streamed read with the count received so far.
        const std::uint32_t count = le32(frame, 0);
        if (count == streamSent)
            streamNext(rxDoneAt);
        return;
    }
    if (badFrame || frame.size() < 8 || frame[0] != 0x00) {
        ++malformed;
        return;
    }
    Command c;
    c.opcode = frame[1];
    c.size = static_cast<std::uint16_t>(frame[2] | frame[3] << 8);
    c.checksum = le32(frame, 4);
    c.data.assign(frame.begin() + 8, frame.end());
    transcript.push_back(c);
    handle(transcript.back(), rxDoneAt);
}

void SimRomLoader::queue(const std::vector<std::uint8_t>& bytes, Time at) {
    if (outputHead > 4096 && outputHead * 2 > output.size()) {
        output.erase(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(outputHead));
        outputHead = 0;
    }
    Time t = std::max(at, txFreeAt);
    const auto put = [&](std::uint8_t v) {
        t += byteTime();
        output.push_back({v, t});
    };
    put(END);
    for (std::uint8_t b : bytes) {
        if (b == END) {
            put(ESC);
            put(ESC_END);
        } else if (b == ESC) {
            put(ESC);
            put(ESC_ESC);
        } else {
            put(b);
        }
    }
    put(END);
    txFreeAt = t;
}

void SimRomLoader::sendRaw(const std::vector<std::uint8_t>& bytes, Time at) {
    queue(bytes, at);
}

void SimRomLoader::streamNext(Time at) {
    if (streamSent >= streamData.size()) {
        streaming = false;
        std::vector<std::uint8_t> digest = md5(streamData.data(), streamData.size());
        if (flt.md5Mismatch)
            digest[0] ^= 0x01;
        if (flt.shortDigest)
            digest.pop_back();
        sendRaw(digest, at);
        return;
    }
    std::size_t n = std::min<std::size_t>(streamPacket, streamData.size() - streamSent);
    if (flt.streamBreakAfter >= 0 && streamPackets == flt.streamBreakAfter && n > 1)
        n -= 1;
    sendRaw(std::vector<std::uint8_t>(streamData.begin() + static_cast<std::ptrdiff_t>(streamSent),
                                      streamData.begin() + static_cast<std::ptrdiff_t>(streamSent + n)),
            at);
    streamSent += n;
    ++streamPackets;
}

std::vector<std::uint8_t> SimRomLoader::md5(const std::uint8_t* data, std::size_t size) {
    std::uint32_t k[64];
    for (int i = 0; i < 64; ++i)
        k[i] = static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    static const int r[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    std::vector<std::uint8_t> msg(data, data + size);
    msg.push_back(0x80);
    while (msg.size() % 64 != 56)
        msg.push_back(0);
    const std::uint64_t bits = std::uint64_t{size} * 8;
    for (int i = 0; i < 8; ++i)
        msg.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    for (std::size_t at = 0; at < msg.size(); at += 64) {
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            const int round = i / 16;
            std::uint32_t f = 0;
            int g = 0;
            switch (round) {
            case 0:
                f = d ^ (b & (c ^ d));
                g = i;
                break;
            case 1:
                f = c ^ (d & (b ^ c));
                g = (5 * i + 1) & 15;
                break;
            case 2:
                f = b ^ c ^ d;
                g = (3 * i + 5) & 15;
                break;
            default:
                f = c ^ (b | ~d);
                g = (7 * i) & 15;
            }
            const std::uint32_t word = le32(msg, at + 4 * static_cast<std::size_t>(g));
            const std::uint32_t sum = a + f + k[i] + word;
            const int shift = r[round][i % 4];
            a = d;
            d = c;
            c = b;
            b += (sum << shift) | (sum >> (32 - shift));
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }
    std::vector<std::uint8_t> out;
    for (std::uint32_t v : h)
        append32(out, v);
    return out;
}

void SimRomLoader::respond(std::uint8_t opcode, std::uint32_t value, const std::vector<std::uint8_t>& data,
                           std::uint8_t status, std::uint8_t error, Time at, std::uint8_t direction) {
    std::vector<std::uint8_t> p{direction, opcode};
    const std::size_t size = data.size() + cfg.statusBytes;
    p.push_back(static_cast<std::uint8_t>(size));
    p.push_back(static_cast<std::uint8_t>(size >> 8));
    append32(p, value);
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(status);
    p.push_back(error);
    for (unsigned i = 2; i < cfg.statusBytes; ++i)
        p.push_back(0);
    queue(p, at);
}

std::vector<std::uint8_t> SimRomLoader::takeOutput(Time now, std::size_t max) {
    std::vector<std::uint8_t> out;
    while (outputHead < output.size() && out.size() < max && output[outputHead].due <= now)
        out.push_back(output[outputHead++].value);
    if (outputHead == output.size()) {
        output.clear();
        outputHead = 0;
    }
    return out;
}

SimRomLoader::Time SimRomLoader::nextOutputAt() const {
    return outputHead < output.size() ? output[outputHead].due : Time::max();
}

void SimRomLoader::handle(const Command& c, Time at) {
    const std::uint8_t op = c.opcode;
    const std::vector<std::uint32_t> w = c.words();

    if (flt.hangUpOpcode == op) {
        if (answered[op] >= flt.hangUpAfter) {
            flt.hangUpOpcode = 0;
            hangUp = true;
            return;
        }
    }
    if (rebooted)
        return;
    if (op == 0x08 && strikes(flt.silentSyncs))
        return;
    // A lost answer: the command is carried out, its answer never sent.
    const bool silent = flt.silentOpcode == op && strikes(flt.silents, flt.silentAfter);
    if (flt.decoyOpcode == op && strikes(flt.decoys)) {
        respond(static_cast<std::uint8_t>(op + 1), 0, {}, 0, 0, at);
        respond(op, 0, {}, 0, 0, at, 0x00);
    }
    for (SimRomLate& late : flt.lateAnswers) {
        if (late.opcode == op && strikes(late.times, late.after))
            at += late.by;
    }
    if (flt.errorOpcode == op && strikes(flt.errors)) {
        respond(op, 0, {}, 1, flt.errorCode, at);
        return;
    }
    ++answered[op];

    const auto ok = [&](std::uint32_t value = 0, const std::vector<std::uint8_t>& data = {}) {
        if (!silent)
            respond(op, value, data, 0, 0, at);
    };
    const auto fail = [&](std::uint8_t error) {
        if (!silent)
            respond(op, 0, {}, 1, error, at);
    };

    switch (op) {
    case 0x08: { // SYNC
        static const std::vector<std::uint8_t> expected = [] {
            std::vector<std::uint8_t> e{0x07, 0x07, 0x12, 0x20};
            e.resize(36, 0x55);
            return e;
        }();
        if (c.data != expected || c.size != 36)
            return; // the ROM ignores a garbled SYNC
        for (int i = 0; i < 8; ++i)
            ok();
        return;
    }
    case 0x14: { // GET_SECURITY_INFO
        switch (cfg.security) {
        case SecurityForm::Silent:
            return;
        case SecurityForm::ErrorStatus:
            fail(0x05);
            return;
        case SecurityForm::Short12:
        case SecurityForm::Full20: {
            std::vector<std::uint8_t> d;
            append32(d, 0x00000005); // flags
            d.push_back(0x01);       // key purposes and flash crypt count
            for (int i = 0; i < 7; ++i)
                d.push_back(static_cast<std::uint8_t>(i == 0 ? 0x03 : 0));
            if (cfg.security == SecurityForm::Full20) {
                append32(d, cfg.securityChipId);
                append32(d, 1); // eco version
            }
            ok(0, d);
            return;
        }
        }
        return;
    }
    case 0x0A: { // READ_REG
        if (w.size() != 1)
            return fail(0xC0);
        std::uint32_t value = reg(w[0]);
        if (w[0] == cfg.spiCmd && busyLeft != 0) {
            value |= kBusyBit;
            if (busyLeft > 0)
                --busyLeft;
        }
        return ok(value);
    }
    case 0x09: { // WRITE_REG
        if (w.size() != 4)
            return fail(0xC0);
        std::uint32_t& r = registers[w[0]];
        r = (r & ~w[2]) | (w[1] & w[2]);
        if (w[0] == cfg.spiCmd && (r & kBusyBit) != 0) {
            r &= ~kBusyBit;
            if ((reg(cfg.spiUsr2) & 0xFF) == 0x9F)
                registers[cfg.spiW0] = cfg.flashId;
            busyLeft = cfg.busyReads;
        }
        return ok();
    }
    case 0x0D: // SPI_ATTACH: the stub takes the configuration word alone
        return w.size() == (stub ? 1u : 2u) ? ok() : fail(0xC0);
    case 0x0B: // SPI_SET_PARAMS
        return w.size() == 6 ? ok() : fail(0xC0);
    case 0x02: { // FLASH_BEGIN
        if (w.size() != 4 && w.size() != 5)
            return fail(0xC0);
        const std::uint64_t erase = w[0], offset = w[3];
        if (offset + erase > flashMemory.size())
            return fail(0x06);
        const std::uint64_t from = offset / kSector * kSector;
        const std::uint64_t to =
            std::min<std::uint64_t>((offset + erase + kSector - 1) / kSector * kSector, flashMemory.size());
        std::fill(flashMemory.begin() + static_cast<std::ptrdiff_t>(from),
                  flashMemory.begin() + static_cast<std::ptrdiff_t>(to), 0xFF);
        flashOpen = true;
        flashBlocks = w[1];
        flashBlockSize = w[2];
        flashOffset = w[3];
        nextSequence = 0;
        written = 0;
        return ok();
    }
    case 0x03: { // FLASH_DATA
        if (c.data.size() < 16)
            return fail(0xC0);
        const std::uint32_t size = w[0], seq = w[1];
        const std::size_t payload = c.data.size() - 16;
        if (size != payload || c.size != c.data.size())
            return fail(0xC0);
        std::uint8_t sum = 0xEF;
        for (std::size_t i = 16; i < c.data.size(); ++i)
            sum ^= c.data[i];
        if (sum != c.checksum || strikes(flt.badChecksumBlocks))
            return fail(0xC1);
        if (!flashOpen)
            return fail(0xC6);
        if (size != flashBlockSize)
            return fail(0xC2);
        // A block sent again after its answer went missing is written to the same place.
        const bool repeat = cfg.checkSequence && nextSequence > 0 && seq == nextSequence - 1;
        if (cfg.checkSequence && seq != nextSequence && !repeat)
            return fail(0x06);
        const std::uint32_t block = cfg.checkSequence ? seq : written;
        if (static_cast<std::int64_t>(block) == flt.refuseBlock && strikes(flt.refusals))
            return fail(flt.errorCode);
        const std::uint64_t address = flashOffset + std::uint64_t{block} * flashBlockSize;
        if (block >= flashBlocks || address + size > flashMemory.size())
            return fail(0x08);
        std::copy(c.data.begin() + 16, c.data.end(),
                  flashMemory.begin() + static_cast<std::ptrdiff_t>(address));
        if (!repeat) {
            ++nextSequence;
            ++written;
        }
        return ok();
    }
    case 0x04: // FLASH_END
        if (w.size() != 1)
            return fail(0xC0);
        endFlag = static_cast<int>(w[0]);
        flashOpen = false;
        if (flt.flipByteAt >= 0 && static_cast<std::size_t>(flt.flipByteAt) < flashMemory.size()) {
            flashMemory[static_cast<std::size_t>(flt.flipByteAt)] ^= 0x01;
            flt.flipByteAt = -1;
        }
        ok();
        rebooted = w[0] == 0; // 0 asks the loader to run the application
        return;
    case 0x13: { // SPI_FLASH_MD5: hex text from the ROM, the raw digest from the stub
        if (w.size() != 4)
            return fail(0xC0);
        if (std::uint64_t{w[0]} + w[1] > flashMemory.size())
            return fail(0x06);
        const std::vector<std::uint8_t> digest = md5(flashMemory.data() + w[0], w[1]);
        return ok(0, stub ? digest : hexText(digest));
    }
    case 0x05: // MEM_BEGIN
        if (w.size() != 4)
            return fail(0xC0);
        memOpen = true;
        memSize = w[0];
        memReceived = 0;
        memSequence = 0;
        return ok();
    case 0x07: { // MEM_DATA
        if (c.data.size() < 16)
            return fail(0xC0);
        const std::size_t payload = c.data.size() - 16;
        std::uint8_t sum = 0xEF;
        for (std::size_t i = 16; i < c.data.size(); ++i)
            sum ^= c.data[i];
        if (w[0] != payload || sum != c.checksum)
            return fail(w[0] != payload ? 0xC0 : 0xC1);
        if (!memOpen || w[1] != memSequence || memReceived + payload > memSize)
            return fail(0x06);
        ++memSequence;
        memReceived += static_cast<std::uint32_t>(payload);
        return ok();
    }
    case 0x06: { // MEM_END
        if (w.size() != 2)
            return fail(0xC0);
        memOpen = false;
        ok();
        if (w[1] != 0 && w[0] == 0) {
            stub = cfg.stubGreeting == "OHAI";
            sendRaw(std::vector<std::uint8_t>(cfg.stubGreeting.begin(), cfg.stubGreeting.end()), at);
        }
        return;
    }
    case 0x0E: { // READ_FLASH_SLOW
        if (w.size() != 2 || w[1] != 64)
            return fail(0xC0);
        std::vector<std::uint8_t> d(64, 0xFF);
        for (std::uint64_t i = 0; i < 64; ++i) {
            if (w[0] + i < flashMemory.size())
                d[i] = flashMemory[w[0] + i];
        }
        return ok(0, d);
    }
    case 0x0F: // CHANGE_BAUDRATE
        if (w.size() != 2)
            return fail(0xC0);
        baud = w;
        return ok();
    case 0x10: // FLASH_DEFL_BEGIN
        if (w.size() != 4 && w.size() != 5)
            return fail(0xC0);
        deflated.clear();
        deflateSequence = 0;
        deflateOpen = true;
        return ok();
    case 0x11: { // FLASH_DEFL_DATA
        if (c.data.size() < 16)
            return fail(0xC0);
        std::uint8_t sum = 0xEF;
        for (std::size_t i = 16; i < c.data.size(); ++i)
            sum ^= c.data[i];
        if (w[0] != c.data.size() - 16 || sum != c.checksum)
            return fail(0xC1);
        if (!deflateOpen || w[1] != deflateSequence)
            return fail(0x06);
        ++deflateSequence;
        deflated.insert(deflated.end(), c.data.begin() + 16, c.data.end());
        return ok();
    }
    case 0x12: // FLASH_DEFL_END
        if (w.size() != 1)
            return fail(0xC0);
        endFlag = static_cast<int>(w[0]);
        deflateOpen = false;
        return ok();
    case 0xD0: // ERASE_FLASH
        if (!stub)
            return fail(0x05);
        std::fill(flashMemory.begin(), flashMemory.end(), 0xFF);
        return ok();
    case 0xD1: { // ERASE_REGION
        if (!stub)
            return fail(0x05);
        if (w.size() != 2 || std::uint64_t{w[0]} + w[1] > flashMemory.size())
            return fail(0x06);
        std::fill(flashMemory.begin() + w[0], flashMemory.begin() + w[0] + w[1], 0xFF);
        return ok();
    }
    case 0xD2: { // READ_FLASH
        if (!stub)
            return fail(0x05);
        if (w.size() != 4 || w[2] == 0 || std::uint64_t{w[0]} + w[1] > flashMemory.size())
            return fail(0x06);
        ok();
        streaming = true;
        streamData.assign(flashMemory.begin() + w[0], flashMemory.begin() + w[0] + w[1]);
        streamSent = 0;
        streamPacket = w[2];
        streamPackets = 0;
        streamNext(at);
        return;
    }
    default:
        return fail(0x05);
    }
}

const char* SimRomLoader::opcodeName(std::uint8_t opcode) {
    switch (opcode) {
    case 0x02:
        return "FLASH_BEGIN";
    case 0x03:
        return "FLASH_DATA";
    case 0x04:
        return "FLASH_END";
    case 0x08:
        return "SYNC";
    case 0x09:
        return "WRITE_REG";
    case 0x0A:
        return "READ_REG";
    case 0x0B:
        return "SPI_SET_PARAMS";
    case 0x0D:
        return "SPI_ATTACH";
    case 0x14:
        return "GET_SECURITY_INFO";
    case 0x05:
        return "MEM_BEGIN";
    case 0x06:
        return "MEM_END";
    case 0x07:
        return "MEM_DATA";
    case 0x0E:
        return "READ_FLASH_SLOW";
    case 0x0F:
        return "CHANGE_BAUDRATE";
    case 0x10:
        return "FLASH_DEFL_BEGIN";
    case 0x11:
        return "FLASH_DEFL_DATA";
    case 0x12:
        return "FLASH_DEFL_END";
    case 0x13:
        return "SPI_FLASH_MD5";
    case 0xD0:
        return "ERASE_FLASH";
    case 0xD1:
        return "ERASE_REGION";
    case 0xD2:
        return "READ_FLASH";
    default:
        return "UNKNOWN";
    }
}

std::vector<std::string> SimRomLoader::transcriptLines() const {
    std::vector<std::string> lines;
    for (const Command& c : transcript) {
        std::string line = opcodeName(c.opcode);
        const std::vector<std::uint32_t> w = c.words();
        switch (c.opcode) {
        case 0x03:
        case 0x07:
        case 0x11:
            line += " seq=" + std::to_string(w[1]) + " size=" + std::to_string(w[0]);
            break;
        case 0x08:
        case 0x14:
            break;
        default:
            for (std::uint32_t v : w)
                line += " " + hex(v);
        }
        lines.push_back(line);
    }
    return lines;
}

} // namespace tavisk::sim
