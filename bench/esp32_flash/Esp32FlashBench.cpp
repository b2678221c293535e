// Flashes images into the simulated ROM loader through the real link on a pseudo-terminal
// paced at an emulated baud rate:
//  - the block-writing speed of a 1 MiB image against the wire limit (the SLIP-framed data
//    packets and their answers, one after the other, at 10 bits a byte);
//  - what the verification after the last block costs (the end command, the chip's MD5 of the
//    image and the comparison), against the wire time of those two exchanges; the simulated
//    chip hashes at once, a real one adds its own reading time;
//  - what one block costs whose answer is lost, against the least it can cost: the deadline
//    that the answer is waited for (the block sent again replaces the first exchange).
#include "espflash/EspSerialFlasher.h"
#include "link/UsbCommunication.h"
#include "tests/sim/beacon/SimBeacon.h"
#include "tests/sim/pty/PtyLine.h"
#include "tests/sim/rom/SimRomPeer.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
using tavisk::sim::SimRomLoader;

constexpr double kDataDeadlineSeconds = 1.0;

std::size_t slipSize(const std::vector<std::uint8_t>& packet) {
    std::size_t n = 2;
    for (std::uint8_t b : packet)
        n += (b == 0xC0 || b == 0xDB) ? 2 : 1;
    return n;
}

void put32(std::vector<std::uint8_t>& p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Wire bytes of one FLASH_DATA exchange: the command frame and an answer with four status bytes.
std::size_t exchangeBytes(const std::uint8_t* block, std::uint32_t size, std::uint32_t seq) {
    std::uint8_t sum = 0xEF;
    for (std::uint32_t i = 0; i < size; ++i)
        sum ^= block[i];
    std::vector<std::uint8_t> p{0x00, 0x03};
    p.push_back(static_cast<std::uint8_t>(size + 16));
    p.push_back(static_cast<std::uint8_t>((size + 16) >> 8));
    put32(p, sum);
    put32(p, size);
    put32(p, seq);
    put32(p, 0);
    put32(p, 0);
    p.insert(p.end(), block, block + size);
    const std::vector<std::uint8_t> answer{0x01, 0x03, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    return slipSize(p) + slipSize(answer);
}

std::vector<std::uint8_t> makeImage(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> image(size);
    std::uint32_t x = seed;
    for (auto& b : image) {
        x = x * 1664525 + 1013904223;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return image;
}

struct Flash {
    bool ok = false;
    Clock::time_point start;
    std::vector<Clock::time_point> progress; // at each progress report
    Clock::time_point end;
};

Flash flash(unsigned baud, const std::vector<std::uint8_t>& image, std::uint32_t blockSize,
            const std::function<void(SimRomLoader&)>& fault = nullptr) {
    Flash f;
    char path[] = "/tmp/tavisk-esp32-bench-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
        return f;
    ::close(fd);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

    auto rom = std::make_shared<tavisk::sim::SimRomPeer>();
    if (fault)
        rom->with(fault);
    auto beacon = std::make_shared<tavisk::sim::SimBeacon>();
    beacon->setBootloaderPeer(rom);
    tavisk::sim::PtyLine line(baud);
    line.addPeer(beacon);
    std::string error;
    if (!line.open(&error)) {
        std::fprintf(stderr, "esp32_flash: %s\n", error.c_str());
        ::unlink(path);
        return f;
    }
    UsbCommunication usb;
    usb.setPort(line.path(), static_cast<UsbTypes::Baudrate>(baud));
    if (usb.connect(UsbCommunication::COM) != LINK_OK) {
        ::unlink(path);
        return f;
    }

    f.start = Clock::now();
    f.ok = TaviskEspSerialFlasher::flashBinary(
        usb, path, {0, blockSize, false}, [&](unsigned char) { f.progress.push_back(Clock::now()); }, &error);
    f.end = Clock::now();
    ::unlink(path);
    if (!f.ok)
        std::fprintf(stderr, "esp32_flash: %s\n", error.c_str());
    return f;
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool speed(unsigned baud, std::size_t imageSize, std::uint32_t blockSize) {
    const std::vector<std::uint8_t> image = makeImage(imageSize, baud);
    const Flash f = flash(baud, image, blockSize);
    const std::size_t blocks = (imageSize + blockSize - 1) / blockSize;
    if (!f.ok || f.progress.size() < blocks || blocks < 2)
        return false;

    // From the end of the first block to the end of the last: the steady block-writing phase.
    const double elapsed = seconds(f.progress[blocks - 1] - f.progress.front());
    std::vector<std::uint8_t> block(blockSize);
    std::size_t wire = 0;
    std::size_t data = 0;
    for (std::uint32_t seq = 1; seq < blocks; ++seq) {
        const std::size_t from = std::size_t{seq} * blockSize;
        const std::size_t n = std::min<std::size_t>(blockSize, imageSize - from);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(from), n, block.begin());
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(n), block.end(), 0xFF);
        wire += exchangeBytes(block.data(), blockSize, seq);
        data += n;
    }
    const double achieved = data / 1024.0 / elapsed;
    const double limit = data / 1024.0 / (wire * 10.0 / baud);
    std::printf("esp32_flash_%u_blocks: %zu\n", baud, blocks);
    std::printf("esp32_flash_%u_kib_s: %.2f\n", baud, achieved);
    std::printf("esp32_flash_%u_wire_limit_kib_s: %.2f\n", baud, limit);
    std::printf("esp32_flash_%u_ratio: %.3f\n", baud, achieved / limit);

    // From the last block's report to the report of the verified image.
    if (f.progress.size() != blocks + 1)
        return false;
    const double verify = seconds(f.progress.back() - f.progress[blocks - 1]);
    const std::vector<std::uint8_t> end{0x00, 0x04, 4, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    const std::vector<std::uint8_t> endAnswer{0x01, 0x04, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> md5{0x00, 0x13, 16, 0, 0, 0, 0, 0};
    put32(md5, 0);
    put32(md5, static_cast<std::uint32_t>(imageSize));
    put32(md5, 0);
    put32(md5, 0);
    std::vector<std::uint8_t> md5Answer{0x01, 0x13, 36, 0, 0, 0, 0, 0};
    md5Answer.resize(md5Answer.size() + 32, '0'); // 32 hexadecimal characters
    md5Answer.resize(md5Answer.size() + 4, 0);    // four status bytes
    const double verifyWire =
        (slipSize(end) + slipSize(endAnswer) + slipSize(md5) + slipSize(md5Answer)) * 10.0 / baud;
    std::printf("esp32_flash_%u_verify_ms: %.1f\n", baud, verify * 1000);
    std::printf("esp32_flash_%u_verify_share_of_the_flash: %.4f\n", baud, verify / seconds(f.end - f.start));
    std::printf("esp32_flash_%u_verify_wire_ms: %.1f\n", baud, verifyWire * 1000);
    std::printf("esp32_flash_%u_verify_ratio: %.3f\n", baud, verify / verifyWire);
    return true;
}

// The same small image twice, the second time with the answer to its first block lost: the
// difference is what the lost answer cost.
bool retriedBlock(unsigned baud) {
    constexpr std::uint32_t kBlock = 1024;
    const std::vector<std::uint8_t> image = makeImage(16 * kBlock, baud + 1);
    const Flash clean = flash(baud, image, kBlock);
    const Flash lost = flash(baud, image, kBlock, [](SimRomLoader& m) {
        m.faults().silentOpcode = 0x03;
        m.faults().silents = 1;
    });
    if (!clean.ok || !lost.ok)
        return false;
    const double least = kDataDeadlineSeconds;
    const double cost = seconds(lost.end - lost.start) - seconds(clean.end - clean.start);
    std::printf("esp32_flash_%u_retried_block_ms: %.0f\n", baud, cost * 1000);
    std::printf("esp32_flash_%u_retried_block_least_ms: %.0f\n", baud, least * 1000);
    std::printf("esp32_flash_%u_retried_block_ratio: %.3f\n", baud, cost / least);
    return true;
}
} // namespace

int main() {
    bool ok = speed(115200, 1024 * 1024, 1024);
    ok = speed(921600, 1024 * 1024, 1024) && ok;
    ok = retriedBlock(115200) && ok;
    ok = retriedBlock(921600) && ok;
    return ok ? 0 : 1;
}
