// The whole link (UsbCommunication over the POSIX port) against a pseudo-terminal peer.
#include "link/UsbCommunication.h"

#include "tests/support/LogCapture.h"
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using tavisk::test::LogCapture;
using tavisk::test::PtyPair;
using namespace std::chrono_literals;

class UsbCommunicationPtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        link.setPort(pty.stablePath(), UsbTypes::BAUD_921600);
        ASSERT_EQ(link.connect(UsbCommunication::COM), LINK_OK);
        log.clear();
    }

    LogCapture log;
    PtyPair pty;
    UsbCommunication link;
};

TEST_F(UsbCommunicationPtyTest, BytesGoBothWays) {
    const std::uint8_t frame[] = {0x7E, 0x02, 0x01, 0xFF, 0x01, 0xA5};
    ASSERT_EQ(link.write(frame, sizeof frame), LINK_OK);
    EXPECT_EQ(pty.readExactly(sizeof frame), std::vector<std::uint8_t>(frame, frame + sizeof frame));

    ASSERT_TRUE(pty.write("answer"));
    std::string got;
    while (got.size() < 6) {
        char buf[16];
        const IoResult r = link.read(buf, sizeof buf, 10000);
        ASSERT_EQ(r.status, LINK_OK);
        got.append(buf, r.count);
    }
    EXPECT_EQ(got, "answer");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(UsbCommunicationPtyTest, HangUpDropsTheLinkOnceAndAReconnectRestoresIt) {
    pty.hangUp();
    char buf[16];
    EXPECT_EQ(link.read(buf, sizeof buf, 10000).status, LINK_READ_FAILED);
    EXPECT_EQ(log.count("COM read failed; treating as disconnected", BaseLogger::ERROR), 1u);
    EXPECT_FALSE(link.isConnected());
    // The listener's next read ends it instead of failing every millisecond.
    EXPECT_EQ(link.read(buf, sizeof buf, 10000).status, LINK_UNAVAILABLE);

    // The peer's new pseudo-terminal answers under the same name.
    ASSERT_EQ(link.connect(UsbCommunication::COM), LINK_OK);
    ASSERT_TRUE(pty.write("x"));
    EXPECT_EQ(link.read(buf, sizeof buf, 10000).status, LINK_OK);
}

TEST_F(UsbCommunicationPtyTest, DisconnectDuringAWaitingReadEndsTheReadSoon) {
    IoResult r;
    std::thread listener([&] {
        char buf[16];
        r = link.read(buf, sizeof buf, 60000);
    });
    std::this_thread::sleep_for(50ms); // let the read start waiting (not needed for safety)
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.disconnect(), LINK_OK);
    listener.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s); // not the read's 60 s timeout
    EXPECT_EQ(r.status, LINK_UNAVAILABLE);
    EXPECT_FALSE(link.isConnected());
}

} // namespace
