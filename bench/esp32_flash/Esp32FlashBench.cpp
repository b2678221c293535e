// Flashes an image into the simulated ROM loader through the real link on a pseudo-terminal
// paced at an emulated baud rate, and compares the block-writing speed with the wire limit:
// the SLIP-framed data packets and their answers, one after the other, at 10 bits a byte.
#include "EspSerialFlasher.h"
#include "PtyLine.h"
#include "SimBeacon.h"
#include "SimRomPeer.h"
#include "UsbCommunication.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

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

bool run(unsigned baud, std::size_t imageSize, std::uint32_t blockSize) {
    std::vector<std::uint8_t> image(imageSize);
    std::uint32_t x = baud;
    for (auto& b : image) {
        x = x * 1664525 + 1013904223;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    char path[] = "/tmp/tavisk-esp32-bench-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
        return false;
    ::close(fd);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

    auto rom = std::make_shared<tavisk::sim::SimRomPeer>();
    auto beacon = std::make_shared<tavisk::sim::SimBeacon>();
    beacon->setBootloaderPeer(rom);
    tavisk::sim::PtyLine line(baud);
    line.addPeer(beacon);
    std::string error;
    if (!line.open(&error)) {
        std::fprintf(stderr, "esp32_flash: %s\n", error.c_str());
        return false;
    }
    UsbCommunication usb;
    usb.portName = line.path();
    usb.baudrate = static_cast<UsbTypes::Baudrate>(baud);
    if (usb.connect(UsbCommunication::COM) != LINK_OK)
        return false;

    std::vector<Clock::time_point> after; // after each block
    const bool ok = TaviskEspSerialFlasher::flashBinary(
        usb, path, {0, blockSize, false}, [&](unsigned char) { after.push_back(Clock::now()); }, &error);
    ::unlink(path);
    if (!ok || after.size() < 2) {
        std::fprintf(stderr, "esp32_flash: %s\n", error.c_str());
        return false;
    }

    // From the end of the first block to the end of the last: the steady block-writing phase.
    const double seconds = std::chrono::duration<double>(after.back() - after.front()).count();
    std::vector<std::uint8_t> block(blockSize);
    std::size_t wire = 0;
    std::size_t data = 0;
    for (std::uint32_t seq = 1; seq < after.size(); ++seq) {
        const std::size_t from = std::size_t{seq} * blockSize;
        const std::size_t n = std::min<std::size_t>(blockSize, imageSize - from);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(from), n, block.begin());
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(n), block.end(), 0xFF);
        wire += exchangeBytes(block.data(), blockSize, seq);
        data += n;
    }
    const double achieved = data / 1024.0 / seconds;
    const double limit = data / 1024.0 / (wire * 10.0 / baud);
    std::printf("esp32_flash_%u_blocks: %zu\n", baud, after.size());
    std::printf("esp32_flash_%u_kib_s: %.2f\n", baud, achieved);
    std::printf("esp32_flash_%u_wire_limit_kib_s: %.2f\n", baud, limit);
    std::printf("esp32_flash_%u_ratio: %.3f\n", baud, achieved / limit);
    return true;
}
} // namespace

int main() {
    bool ok = run(115200, 64 * 1024, 1024);
    ok = run(921600, 256 * 1024, 1024) && ok;
    return ok ? 0 : 1;
}
