// The pseudo-terminal peer that the port, link and end-to-end tests stand on.
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using tavisk::test::PtyPair;
using namespace std::chrono_literals;

int openSlave(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

std::vector<std::uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

TEST(PtyPair, CarriesEveryByteValueBothWaysUnchanged) {
    PtyPair pty;
    const int slave = openSlave(pty.slavePath());
    ASSERT_GE(slave, 0);

    std::vector<std::uint8_t> all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<std::uint8_t>(i));
    all.push_back('\r');
    all.push_back('\n');

    ASSERT_TRUE(pty.write(all));
    std::vector<std::uint8_t> got(all.size());
    std::size_t have = 0;
    while (have < all.size()) {
        pollfd p{slave, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1);
        const ssize_t n = ::read(slave, got.data() + have, got.size() - have);
        ASSERT_GT(n, 0);
        have += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(got, all);

    ASSERT_EQ(::write(slave, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    EXPECT_EQ(pty.readExactly(all.size()), all);
    ::close(slave);
}

TEST(PtyPair, ReadTimesOutEmptyAndReturnsEarlyWhenDataComes) {
    PtyPair pty;
    EXPECT_TRUE(pty.read(16, 50ms).empty());
    const int slave = openSlave(pty.slavePath());
    ASSERT_GE(slave, 0);
    ASSERT_EQ(::write(slave, "abc", 3), 3);
    EXPECT_EQ(pty.read(16, 10s), bytes("abc"));
    ::close(slave);
}

TEST(PtyPair, MasterSurvivesTheSlaveBeingClosedAndReopened) {
    PtyPair pty;
    int slave = openSlave(pty.slavePath());
    ASSERT_GE(slave, 0);
    ::close(slave);
    // Nothing of the port is open now; the master must neither fail nor report a hang-up.
    pollfd p{pty.masterFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    EXPECT_TRUE(pty.read(16, 20ms).empty());

    slave = openSlave(pty.slavePath());
    ASSERT_GE(slave, 0);
    ASSERT_TRUE(pty.write("again"));
    pollfd s{slave, POLLIN, 0};
    ASSERT_EQ(::poll(&s, 1, 10000), 1);
    char buf[16];
    EXPECT_EQ(::read(slave, buf, sizeof buf), 5);
    ::close(slave);
}

TEST(PtyPair, HangUpIsSeenOnTheSlaveAndANewPairFollows) {
    PtyPair pty;
    const std::string before = pty.slavePath();
    const int slave = openSlave(pty.stablePath());
    ASSERT_GE(slave, 0);

    pty.hangUp();

    pollfd p{slave, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
    char buf[4];
    const ssize_t n = ::read(slave, buf, sizeof buf);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;
    EXPECT_LT(::write(slave, "x", 1), 0);
    ::close(slave);

    EXPECT_NE(pty.slavePath(), before);
    char target[PATH_MAX] = {};
    ASSERT_GT(::readlink(pty.stablePath().c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), pty.slavePath());

    const int fresh = openSlave(pty.stablePath());
    ASSERT_GE(fresh, 0);
    ASSERT_EQ(::write(fresh, "ok", 2), 2);
    EXPECT_EQ(pty.readExactly(2), bytes("ok"));
    ::close(fresh);
}

} // namespace
