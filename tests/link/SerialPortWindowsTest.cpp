// The Win32 port and the whole link under wine, on the COM port that scripts/test-windows maps
// to a pseudo-terminal whose master echoes every byte (TAVISK_TEST_COM_PORT names it).
#include "link/SerialPortWindows.h"
#include "link/UsbCommunication.h"

#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using tavisk::test::LogCapture;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string mappedPort() {
    const char* name = std::getenv("TAVISK_TEST_COM_PORT");
    return name != nullptr ? name : "";
}

std::vector<std::uint8_t> allByteValues() {
    std::vector<std::uint8_t> v(256);
    for (int i = 0; i < 256; ++i)
        v[i] = static_cast<std::uint8_t>(i);
    return v;
}

// Reads until `count` bytes came or a read timed out.
std::vector<std::uint8_t> readEcho(SerialPort& port, std::size_t count) {
    std::vector<std::uint8_t> got;
    while (got.size() < count) {
        std::uint8_t buf[512];
        const IoResult r = port.readDataImpl(buf, sizeof buf, 10000);
        if (r.status != LINK_OK)
            break;
        got.insert(got.end(), buf, buf + r.count);
    }
    return got;
}

class SerialPortWindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        name = mappedPort();
        if (name.empty())
            GTEST_SKIP() << "TAVISK_TEST_COM_PORT is not set (scripts/test-windows sets it)";
    }
    void TearDown() override {
        // What the port logged tells why wine refused a call.
        if (HasFailure())
            for (const std::string& line : log.texts())
                std::fprintf(stderr, "logged: %s\n", line.c_str());
    }
    LogCapture log;
    std::string name;
    SerialPortWindows port;
};

TEST_F(SerialPortWindowsTest, DiscoveryListsTheMappedPort) {
    const auto ports = port.getAvailablePorts();
    EXPECT_NE(std::find(ports.begin(), ports.end(), name), ports.end());
    EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
        return std::stoi(a.substr(3)) < std::stoi(b.substr(3));
    }));
}

TEST_F(SerialPortWindowsTest, OpensConfiguresAt921600AndEchoesEveryByteValue) {
    ASSERT_EQ(port.openPort(name), LINK_OK);
    ASSERT_TRUE(port.serialPortConfig(UsbTypes::BAUD_921600));
    port.verifyPortSettings();
    EXPECT_TRUE(
        log.contains("SerialPort: Current port settings: BaudRate=921600, ByteSize=8, Parity=0, StopBits=0"));

    const auto data = allByteValues();
    const IoResult w = port.writeDataImpl(data.data(), data.size());
    ASSERT_EQ(w.status, LINK_OK);
    EXPECT_EQ(w.count, data.size());
    EXPECT_EQ(readEcho(port, data.size()), data);
    EXPECT_EQ(log.count("", BaseLogger::ERROR), 0u);
}

TEST_F(SerialPortWindowsTest, SilentLineTimesOut) {
    ASSERT_EQ(port.openPort(name), LINK_OK);
    ASSERT_TRUE(port.serialPortConfig(UsbTypes::BAUD_115200));
    std::uint8_t buf[16];
    EXPECT_EQ(port.readDataImpl(buf, sizeof buf, 0).status, LINK_NO_DATA);
    const auto start = Clock::now();
    EXPECT_EQ(port.readDataImpl(buf, sizeof buf, 150).status, LINK_NO_DATA);
    EXPECT_GE(Clock::now() - start, 150ms);
}

// Exclusive use is the driver's business on Windows (share mode 0); wine does not enforce it
// for serial devices, so it is not checked here.
TEST_F(SerialPortWindowsTest, MissingPortFailsWithTheSystemCodeAndReopenClosesFirst) {
    ASSERT_EQ(port.openPort(name), LINK_OK);
    EXPECT_EQ(port.openPort("COM250"), LINK_OPEN_FAILED);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"SerialPort: Error opening port COM250 (CreateFileA err=2)"});
    EXPECT_EQ(port.closePort(), LINK_OK);
    EXPECT_EQ(port.openPort(name), LINK_OK);
}

TEST_F(SerialPortWindowsTest, ClosedPortAndUnlistedRate) {
    std::uint8_t buf[4] = {};
    EXPECT_EQ(port.readDataImpl(buf, sizeof buf, 0).status, LINK_READ_FAILED);
    EXPECT_EQ(port.writeDataImpl(buf, sizeof buf).status, LINK_WRITE_FAILED);
    EXPECT_FALSE(port.serialPortConfig(UsbTypes::BAUD_921600));
    EXPECT_EQ(port.appliedBaud(), 115200u);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"SerialPort: serialPortConfig called with unopened port"});

    ASSERT_EQ(port.openPort(name), LINK_OK);
    log.clear();
    ASSERT_TRUE(port.serialPortConfig(static_cast<UsbTypes::Baudrate>(9600)));
    EXPECT_TRUE(log.contains("SerialPort: Set baudrate: 9600"));
    log.clear();
    port.verifyPortSettings();
    EXPECT_TRUE(log.contains("BaudRate=115200,"));
}

TEST_F(SerialPortWindowsTest, LinkConnectsWritesReadsAndDisconnects) {
    UsbCommunication link;
    link.setPort(name, UsbTypes::BAUD_921600);
    ASSERT_EQ(link.toDetermineDevices(UsbCommunication::COM), LINK_OK);
    const auto ports = link.getDeviceList();
    EXPECT_NE(std::find(ports.begin(), ports.end(), name), ports.end());
    ASSERT_EQ(link.connect(UsbCommunication::COM), LINK_OK);
    EXPECT_TRUE(link.isConnected());

    const std::uint8_t frame[] = {0x7E, 0x02, 0x01, 0xFF, 0x01, 0x5C};
    ASSERT_EQ(link.write(frame, sizeof frame), LINK_OK);
    std::vector<std::uint8_t> got;
    while (got.size() < sizeof frame) {
        std::uint8_t buf[16];
        const IoResult r = link.read(buf, sizeof buf, 10000);
        ASSERT_EQ(r.status, LINK_OK);
        got.insert(got.end(), buf, buf + r.count);
    }
    EXPECT_EQ(got, std::vector<std::uint8_t>(frame, frame + sizeof frame));

    EXPECT_EQ(link.disconnect(), LINK_OK);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(log.count("", BaseLogger::ERROR), 0u);
}

} // namespace
