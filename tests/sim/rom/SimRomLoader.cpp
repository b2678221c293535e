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

constexpr std::uint8_t code(SimRomOpcode opcode) {
    return static_cast<std::uint8_t>(opcode);
}

// The checksum of a data command's block: 0xEF exclusive-or every byte after the four words.
std::uint8_t blockChecksum(const std::vector<std::uint8_t>& data) {
    std::uint8_t sum = 0xEF;
    for (std::size_t i = 16; i < data.size(); ++i)
        sum ^= data[i];
    return sum;
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

void SimRomLoader::queue(const std::vector<std::uint8_t>& bytes, Time at, bool garbled) {
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
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t b = bytes[i];
        if (garbled && i == 1) {
            put(ESC); // the opcode byte, turned into the escape character by noise
        } else if (b == END) {
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
                           std::uint8_t status, std::uint8_t error, Time at, std::uint8_t direction,
                           bool garbled) {
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
    queue(p, at, garbled);
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

const SimRomLoader::CommandKind SimRomLoader::kinds[] = {
    {SimRomOpcode::FlashBegin, "FLASH_BEGIN", &SimRomLoader::flashBegin, Shown::Words},
    {SimRomOpcode::FlashData, "FLASH_DATA", &SimRomLoader::flashData, Shown::DataHeader},
    {SimRomOpcode::FlashEnd, "FLASH_END", &SimRomLoader::flashEnd, Shown::Words},
    {SimRomOpcode::Sync, "SYNC", &SimRomLoader::sync, Shown::Nothing},
    {SimRomOpcode::WriteReg, "WRITE_REG", &SimRomLoader::writeReg, Shown::Words},
    {SimRomOpcode::ReadReg, "READ_REG", &SimRomLoader::readReg, Shown::Words},
    {SimRomOpcode::SpiSetParams, "SPI_SET_PARAMS", &SimRomLoader::spiSetParams, Shown::Words},
    {SimRomOpcode::SpiAttach, "SPI_ATTACH", &SimRomLoader::spiAttach, Shown::Words},
    {SimRomOpcode::GetSecurityInfo, "GET_SECURITY_INFO", &SimRomLoader::securityInfo, Shown::Nothing},
    {SimRomOpcode::MemBegin, "MEM_BEGIN", &SimRomLoader::memBegin, Shown::Words},
    {SimRomOpcode::MemEnd, "MEM_END", &SimRomLoader::memEnd, Shown::Words},
    {SimRomOpcode::MemData, "MEM_DATA", &SimRomLoader::memData, Shown::DataHeader},
    {SimRomOpcode::ReadFlashSlow, "READ_FLASH_SLOW", &SimRomLoader::readFlashSlow, Shown::Words},
    {SimRomOpcode::ChangeBaudrate, "CHANGE_BAUDRATE", &SimRomLoader::changeBaudrate, Shown::Words},
    {SimRomOpcode::FlashDeflBegin, "FLASH_DEFL_BEGIN", &SimRomLoader::deflateBegin, Shown::Words},
    {SimRomOpcode::FlashDeflData, "FLASH_DEFL_DATA", &SimRomLoader::deflateData, Shown::DataHeader},
    {SimRomOpcode::FlashDeflEnd, "FLASH_DEFL_END", &SimRomLoader::deflateEnd, Shown::Words},
    {SimRomOpcode::SpiFlashMd5, "SPI_FLASH_MD5", &SimRomLoader::flashMd5, Shown::Words},
    {SimRomOpcode::EraseFlash, "ERASE_FLASH", &SimRomLoader::eraseFlash, Shown::Words},
    {SimRomOpcode::EraseRegion, "ERASE_REGION", &SimRomLoader::eraseRegion, Shown::Words},
    {SimRomOpcode::ReadFlash, "READ_FLASH", &SimRomLoader::readFlash, Shown::Words},
};

const SimRomLoader::CommandKind* SimRomLoader::kindOf(std::uint8_t opcode) {
    for (const CommandKind& k : kinds) {
        if (code(k.opcode) == opcode)
            return &k;
    }
    return nullptr;
}

void SimRomLoader::Reply::ok(std::uint32_t value, const std::vector<std::uint8_t>& data) const {
    if (fate != Fate::Lost)
        rom.respond(opcode, value, data, 0, 0, at, 0x01, fate == Fate::Garbled);
}

void SimRomLoader::Reply::fail(std::uint8_t error) const {
    if (fate != Fate::Lost)
        rom.respond(opcode, 0, {}, 1, error, at, 0x01, fate == Fate::Garbled);
}

void SimRomLoader::handle(const Command& c, Time at) {
    const std::uint8_t op = c.opcode;

    if (flt.hangUpOpcode == op) {
        if (answered[op] >= flt.hangUpAfter) {
            flt.hangUpOpcode = 0;
            hangUp = true;
            return;
        }
    }
    if (rebooted)
        return;
    if (op == code(SimRomOpcode::Sync) && strikes(flt.silentSyncs))
        return;
    // A lost answer: the command is carried out, its answer never sent.
    Fate fate = flt.silentOpcode == op && strikes(flt.silents, flt.silentAfter) ? Fate::Lost : Fate::Sent;
    for (SimRomLost& lost : flt.lostAnswers) {
        if (lost.opcode == op && strikes(lost.times, lost.after) && fate == Fate::Sent)
            fate = lost.garbled ? Fate::Garbled : Fate::Lost;
    }
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

    const Reply reply(*this, op, at, fate);
    const CommandKind* kind = kindOf(op);
    if (kind == nullptr)
        return reply.fail(0x05);
    (this->*kind->handler)(c, c.words(), reply);
}

void SimRomLoader::sync(const Command& c, const std::vector<std::uint32_t>&, const Reply& reply) {
    static const std::vector<std::uint8_t> expected = [] {
        std::vector<std::uint8_t> e{0x07, 0x07, 0x12, 0x20};
        e.resize(36, 0x55);
        return e;
    }();
    if (c.data != expected || c.size != 36)
        return; // the ROM ignores a garbled SYNC
    for (int i = 0; i < 8; ++i)
        reply.ok();
}

void SimRomLoader::securityInfo(const Command&, const std::vector<std::uint32_t>&, const Reply& reply) {
    switch (cfg.security) {
    case SecurityForm::Silent:
        return;
    case SecurityForm::ErrorStatus:
        reply.fail(0x05);
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
        reply.ok(0, d);
        return;
    }
    }
}

void SimRomLoader::readReg(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (w.size() != 1)
        return reply.fail(0xC0);
    std::uint32_t value = reg(w[0]);
    if (w[0] == cfg.spiCmd && busyLeft != 0) {
        value |= kBusyBit;
        if (busyLeft > 0)
            --busyLeft;
    }
    reply.ok(value);
}

void SimRomLoader::writeReg(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (w.size() != 4)
        return reply.fail(0xC0);
    std::uint32_t& r = registers[w[0]];
    r = (r & ~w[2]) | (w[1] & w[2]);
    if (w[0] == cfg.spiCmd && (r & kBusyBit) != 0) {
        r &= ~kBusyBit;
        if ((reg(cfg.spiUsr2) & 0xFF) == 0x9F)
            registers[cfg.spiW0] = cfg.flashId;
        busyLeft = cfg.busyReads;
    }
    reply.ok();
}

// The stub takes the configuration word alone.
void SimRomLoader::spiAttach(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    return w.size() == (stub ? 1u : 2u) ? reply.ok() : reply.fail(0xC0);
}

void SimRomLoader::spiSetParams(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    return w.size() == 6 ? reply.ok() : reply.fail(0xC0);
}

void SimRomLoader::flashBegin(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (w.size() != 4 && w.size() != 5)
        return reply.fail(0xC0);
    const std::uint64_t erase = w[0], offset = w[3];
    if (offset + erase > flashMemory.size())
        return reply.fail(0x06);
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
    reply.ok();
}

void SimRomLoader::flashData(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (c.data.size() < 16)
        return reply.fail(0xC0);
    const std::uint32_t size = w[0], seq = w[1];
    const std::size_t payload = c.data.size() - 16;
    if (size != payload || c.size != c.data.size())
        return reply.fail(0xC0);
    if (blockChecksum(c.data) != c.checksum || strikes(flt.badChecksumBlocks))
        return reply.fail(0xC1);
    if (!flashOpen)
        return reply.fail(0xC6);
    if (size != flashBlockSize)
        return reply.fail(0xC2);
    // A block sent again after its answer went missing is written to the same place.
    const bool repeat = cfg.checkSequence && nextSequence > 0 && seq == nextSequence - 1;
    if (cfg.checkSequence && seq != nextSequence && !repeat)
        return reply.fail(0x06);
    const std::uint32_t block = cfg.checkSequence ? seq : written;
    if (static_cast<std::int64_t>(block) == flt.refuseBlock && strikes(flt.refusals))
        return reply.fail(flt.errorCode);
    const std::uint64_t address = flashOffset + std::uint64_t{block} * flashBlockSize;
    if (block >= flashBlocks || address + size > flashMemory.size())
        return reply.fail(0x08);
    std::copy(c.data.begin() + 16, c.data.end(), flashMemory.begin() + static_cast<std::ptrdiff_t>(address));
    if (!repeat) {
        ++nextSequence;
        ++written;
    }
    reply.ok();
}

void SimRomLoader::flashEnd(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (w.size() != 1)
        return reply.fail(0xC0);
    endFlag = static_cast<int>(w[0]);
    flashOpen = false;
    if (flt.flipByteAt >= 0 && static_cast<std::size_t>(flt.flipByteAt) < flashMemory.size()) {
        flashMemory[static_cast<std::size_t>(flt.flipByteAt)] ^= 0x01;
        flt.flipByteAt = -1;
    }
    reply.ok();
    rebooted = w[0] == 0; // 0 asks the loader to run the application
}

// Hex text from the ROM, the raw digest from the stub.
void SimRomLoader::flashMd5(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (w.size() != 4)
        return reply.fail(0xC0);
    if (std::uint64_t{w[0]} + w[1] > flashMemory.size())
        return reply.fail(0x06);
    const std::vector<std::uint8_t> digest = md5(flashMemory.data() + w[0], w[1]);
    reply.ok(0, stub ? digest : hexText(digest));
}

void SimRomLoader::memBegin(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (w.size() != 4)
        return reply.fail(0xC0);
    memOpen = true;
    memSize = w[0];
    memReceived = 0;
    memSequence = 0;
    reply.ok();
}

void SimRomLoader::memData(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (c.data.size() < 16)
        return reply.fail(0xC0);
    const std::size_t payload = c.data.size() - 16;
    const std::uint8_t sum = blockChecksum(c.data);
    if (w[0] != payload || sum != c.checksum)
        return reply.fail(w[0] != payload ? 0xC0 : 0xC1);
    if (!memOpen || w[1] != memSequence || memReceived + payload > memSize)
        return reply.fail(0x06);
    ++memSequence;
    memReceived += static_cast<std::uint32_t>(payload);
    reply.ok();
}

void SimRomLoader::memEnd(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (w.size() != 2)
        return reply.fail(0xC0);
    memOpen = false;
    reply.ok();
    if (w[1] != 0 && w[0] == 0) {
        stub = cfg.stubGreeting == "OHAI";
        sendRaw(std::vector<std::uint8_t>(cfg.stubGreeting.begin(), cfg.stubGreeting.end()), reply.time());
    }
}

void SimRomLoader::readFlashSlow(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (w.size() != 2 || w[1] != 64)
        return reply.fail(0xC0);
    std::vector<std::uint8_t> d(64, 0xFF);
    for (std::uint64_t i = 0; i < 64; ++i) {
        if (w[0] + i < flashMemory.size())
            d[i] = flashMemory[w[0] + i];
    }
    reply.ok(0, d);
}

void SimRomLoader::changeBaudrate(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (w.size() != 2)
        return reply.fail(0xC0);
    baud = w;
    reply.ok();
}

void SimRomLoader::deflateBegin(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (w.size() != 4 && w.size() != 5)
        return reply.fail(0xC0);
    deflated.clear();
    deflateSequence = 0;
    deflateOpen = true;
    reply.ok();
}

void SimRomLoader::deflateData(const Command& c, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (c.data.size() < 16)
        return reply.fail(0xC0);
    if (w[0] != c.data.size() - 16 || blockChecksum(c.data) != c.checksum)
        return reply.fail(0xC1);
    if (!deflateOpen || w[1] != deflateSequence)
        return reply.fail(0x06);
    ++deflateSequence;
    deflated.insert(deflated.end(), c.data.begin() + 16, c.data.end());
    reply.ok();
}

void SimRomLoader::deflateEnd(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (w.size() != 1)
        return reply.fail(0xC0);
    endFlag = static_cast<int>(w[0]);
    deflateOpen = false;
    reply.ok();
}

void SimRomLoader::eraseFlash(const Command&, const std::vector<std::uint32_t>&, const Reply& reply) {
    if (!stub)
        return reply.fail(0x05);
    std::fill(flashMemory.begin(), flashMemory.end(), 0xFF);
    reply.ok();
}

void SimRomLoader::eraseRegion(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (!stub)
        return reply.fail(0x05);
    if (w.size() != 2 || std::uint64_t{w[0]} + w[1] > flashMemory.size())
        return reply.fail(0x06);
    std::fill(flashMemory.begin() + w[0], flashMemory.begin() + w[0] + w[1], 0xFF);
    reply.ok();
}

// The stub streams the range in packets of the asked size, each acknowledged, then its digest.
void SimRomLoader::readFlash(const Command&, const std::vector<std::uint32_t>& w, const Reply& reply) {
    if (!stub)
        return reply.fail(0x05);
    if (w.size() != 4 || w[2] == 0 || std::uint64_t{w[0]} + w[1] > flashMemory.size())
        return reply.fail(0x06);
    reply.ok();
    streaming = true;
    streamData.assign(flashMemory.begin() + w[0], flashMemory.begin() + w[0] + w[1]);
    streamSent = 0;
    streamPacket = w[2];
    streamPackets = 0;
    streamNext(reply.time());
}

const char* SimRomLoader::opcodeName(std::uint8_t opcode) {
    const CommandKind* kind = kindOf(opcode);
    return kind != nullptr ? kind->name : "UNKNOWN";
}

std::vector<std::string> SimRomLoader::transcriptLines() const {
    std::vector<std::string> lines;
    for (const Command& c : transcript) {
        std::string line = opcodeName(c.opcode);
        const std::vector<std::uint32_t> w = c.words();
        const CommandKind* kind = kindOf(c.opcode);
        Shown shown = kind != nullptr ? kind->shown : Shown::Words;
        if (shown == Shown::DataHeader && w.size() < 2)
            shown = Shown::Words; // too short to carry a size and a number
        switch (shown) {
        case Shown::DataHeader:
            line += " seq=" + std::to_string(w[1]) + " size=" + std::to_string(w[0]);
            break;
        case Shown::Nothing:
            break;
        case Shown::Words:
            for (std::uint32_t v : w)
                line += " " + hex(v);
        }
        lines.push_back(line);
    }
    return lines;
}

} // namespace tavisk::sim
