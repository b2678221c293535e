#include "tests/sim/pty/PtyLine.h"
#include "tests/support/Eventually.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace tavisk::sim {
namespace {

using namespace std::chrono_literals;
using tavisk::test::eventually;

// Answers every byte it receives with that byte + 1, after `delay`.
class EchoPeer : public LinePeer {
public:
    explicit EchoPeer(SimClock::duration delay = {}) : delay(delay) {}

    void receive(const std::uint8_t* data, std::size_t size, SimTime at) override {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::uint8_t> answer(data, data + size);
        for (auto& b : answer)
            ++b;
        received.insert(received.end(), data, data + size);
        out.push_back({at + delay, std::move(answer)});
        seen.notify_all();
    }
    SimTime nextDue() const override {
        std::lock_guard<std::mutex> lock(mutex);
        return out.empty() ? SimTime::max() : out.front().due;
    }
    std::vector<Emission> takeDue(SimTime now) override {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Emission> due;
        while (!out.empty() && out.front().due <= now) {
            due.push_back(std::move(out.front()));
            out.erase(out.begin());
        }
        return due;
    }
    std::vector<std::uint8_t> bytes() const {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

private:
    const SimClock::duration delay;
    mutable std::mutex mutex;
    std::condition_variable seen;
    std::vector<std::uint8_t> received;
    std::vector<Emission> out;
};

int openSlave(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// Reads until `count` bytes came, the line hangs up or 20 s pass.
std::vector<std::uint8_t> readBytes(int fd, std::size_t count) {
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        std::uint8_t buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

TEST(PtyLine, EveryPeerSeesTheProgramsBytesAndAnswersReachTheProgram) {
    PtyLine line;
    auto first = std::make_shared<EchoPeer>();
    auto second = std::make_shared<EchoPeer>(5ms);
    line.addPeer(first);
    line.addPeer(second);
    std::string error;
    ASSERT_TRUE(line.open(&error)) << error;
    const int fd = openSlave(line.path());
    ASSERT_GE(fd, 0);

    const std::uint8_t request[] = {0x10, 0x20, 0x30};
    ASSERT_EQ(::write(fd, request, sizeof request), 3);
    // The undelayed peer's answer goes out first.
    EXPECT_EQ(readBytes(fd, 6), (std::vector<std::uint8_t>{0x11, 0x21, 0x31, 0x11, 0x21, 0x31}));
    EXPECT_EQ(first->bytes(), (std::vector<std::uint8_t>{0x10, 0x20, 0x30}));
    EXPECT_EQ(second->bytes(), first->bytes());
    EXPECT_EQ(line.bytesFromProgram(), 3u);
    // The line counts what it wrote only once write() has returned, which may be after the
    // program has read the bytes.
    EXPECT_TRUE(eventually([&] { return line.bytesToProgram() >= 6u; }, 20s));
    EXPECT_EQ(line.bytesToProgram(), 6u);
    ::close(fd);
}

TEST(PtyLine, SurvivesTheProgramClosingAndReopeningThePort) {
    PtyLine line;
    auto peer = std::make_shared<EchoPeer>();
    line.addPeer(peer);
    ASSERT_TRUE(line.open());
    for (std::uint8_t round = 0; round < 3; ++round) {
        const int fd = openSlave(line.path());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, &round, 1), 1);
        EXPECT_EQ(readBytes(fd, 1), std::vector<std::uint8_t>{static_cast<std::uint8_t>(round + 1)});
        ::close(fd);
    }
}

TEST(PtyLine, PacedLineDeliversNoEarlierThanTheWireAllows) {
    // 9600 baud: 48 bytes there and 48 back take 100 ms on the wire at the least.
    PtyLine line(9600);
    line.addPeer(std::make_shared<EchoPeer>());
    ASSERT_TRUE(line.open());
    const int fd = openSlave(line.path());
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> request(48, 0x41);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(::write(fd, request.data(), request.size()), 48);
    EXPECT_EQ(readBytes(fd, 48).size(), 48u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
    ::close(fd);
}

TEST(PtyLine, InjectedNoiseReachesTheProgram) {
    PtyLine line;
    ASSERT_TRUE(line.open());
    const int fd = openSlave(line.path());
    ASSERT_GE(fd, 0);
    line.inject({0x7E, 0x00});
    EXPECT_EQ(readBytes(fd, 2), (std::vector<std::uint8_t>{0x7E, 0x00}));
    ::close(fd);
}

TEST(PtyLine, HangUpMakesTheProgramsPortFail) {
    PtyLine line;
    ASSERT_TRUE(line.open());
    const int fd = openSlave(line.path());
    ASSERT_GE(fd, 0);
    line.hangUp();
    pollfd p{fd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!(p.revents & (POLLHUP | POLLERR)) && std::chrono::steady_clock::now() < deadline)
        poll(&p, 1, 100);
    EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
    EXPECT_TRUE(line.isHungUp());
    std::uint8_t byte = 0;
    EXPECT_LE(::read(fd, &byte, 1), 0);
    ::close(fd);
}

} // namespace
} // namespace tavisk::sim
