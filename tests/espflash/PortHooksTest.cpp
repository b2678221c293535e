#include "core/LoggerManager.h"
#include "espflash/EspSerialFlasherPort.h"
#include "espflash/loader_port.h"
#include "link/PayloadFrame.h"
#include "link/SerialPort.h"
#include "link/UsbCommunication.h"
#include "tests/support/FakeSerialPort.h"
#include "tests/support/LogCapture.h"
#include "tests/support/VirtualClock.h"

#include <gtest/gtest.h>

namespace {
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

using tavisk::test::FakeSerialPort;

class PortHooks : public ::testing::Test {
protected:
    PortHooks() {
        auto p = std::make_unique<FakeSerialPort>();
        port = p.get();
        p->ports = {"COM7"};
        usb = std::make_unique<UsbCommunication>(std::move(p));
        usb->setPort("COM7", usb->getBaudrate());
        TaviskEspSerialFlasherPort::setClock(&clock);
        taviskEspSerialFlasherPortSetUsb(usb.get());
    }
    ~PortHooks() override {
        taviskEspSerialFlasherPortSetUsb(nullptr);
        TaviskEspSerialFlasherPort::setClock(nullptr);
    }

    // The hooks' clock, moved only by their sleeps and by the test.
    tavisk::test::VirtualClock clock;
    FakeSerialPort* port;
    std::unique_ptr<UsbCommunication> usb;
};

TEST_F(PortHooks, ReadCollectsExactlyTheSizeBeforeTheDeadline) {
    ASSERT_EQ(usb->connect(UsbCommunication::COM), LINK_OK);
    const struct {
        const char* name;
        std::vector<FakeSerialPort::Read> script;
        std::uint32_t timeout;
        LoaderResult result;
        Bytes got;
        int reads;
    } cases[] = {
        {"in pieces", {{LINK_OK, {1}}, {LINK_OK, {2, 3, 4}}}, 100, LOADER_OK, {1, 2, 3, 4}, 2},
        {"at once", {{LINK_OK, {9, 8, 7, 6}}}, 100, LOADER_OK, {9, 8, 7, 6}, 1},
        {"link read fails", {{LINK_OK, {1}}, {LINK_READ_FAILED, {}}}, 100, LOADER_FAIL, {1, 0, 0, 0}, 2},
        {"timeout 0 reads nothing", {{LINK_OK, {1, 2, 3, 4}}}, 0, LOADER_TIMEOUT, {0, 0, 0, 0}, 0},
    };
    for (const auto& c : cases) {
        port->script({c.script.begin(), c.script.end()});
        port->reads = 0;
        if (!usb->isConnected()) {
            ASSERT_EQ(usb->connect(UsbCommunication::COM), LINK_OK);
        }
        Bytes buffer(4, 0);
        EXPECT_EQ(loader_port_read(buffer.data(), 4, c.timeout), c.result) << c.name;
        EXPECT_EQ(buffer, c.got) << c.name;
        EXPECT_EQ(port->reads, c.reads) << c.name;
    }
}

TEST_F(PortHooks, ReadPollsOncePerMillisecondUntilTheDeadline) {
    ASSERT_EQ(usb->connect(UsbCommunication::COM), LINK_OK);
    std::uint8_t byte = 0;
    EXPECT_EQ(loader_port_read(&byte, 1, 5), LOADER_TIMEOUT);
    EXPECT_EQ(clock.sleeps(), (std::vector<long long>{1, 1, 1, 1, 1}));
}

TEST_F(PortHooks, ReadAndWriteRefuseBadArguments) {
    std::uint8_t byte = 0;
    EXPECT_EQ(loader_port_read(nullptr, 1, 10), LOADER_BAD_PARAM);
    EXPECT_EQ(loader_port_read(&byte, 0, 10), LOADER_BAD_PARAM);
    EXPECT_EQ(loader_port_write(nullptr, 1, 10), LOADER_BAD_PARAM);
    EXPECT_EQ(loader_port_write(&byte, 0, 10), LOADER_BAD_PARAM);
    // Not connected: the link refuses.
    EXPECT_EQ(loader_port_write(&byte, 1, 10), LOADER_FAIL);
    taviskEspSerialFlasherPortSetUsb(nullptr);
    EXPECT_EQ(loader_port_write(&byte, 1, 10), LOADER_BAD_PARAM);
    EXPECT_EQ(loader_port_read(&byte, 1, 10), LOADER_BAD_PARAM);
    EXPECT_TRUE(port->writes.empty());
    EXPECT_EQ(port->reads, 0);
}

TEST_F(PortHooks, ZeroByteReadIsAFailure) {
    ASSERT_EQ(usb->connect(UsbCommunication::COM), LINK_OK);
    port->script({{LINK_OK, {}}});
    std::uint8_t byte = 0;
    EXPECT_EQ(loader_port_read(&byte, 1, 100), LOADER_FAIL);
    EXPECT_EQ(port->reads, 1);
}

TEST_F(PortHooks, RemainingTimeIsTruncatedAndCapped) {
    loader_port_start_timer(1);
    clock.advance(500us);
    EXPECT_EQ(loader_port_remaining_time(), 0u);
    loader_port_start_timer(10);
    clock.advance(2500us);
    EXPECT_EQ(loader_port_remaining_time(), 7u);
    clock.advance(20ms);
    EXPECT_EQ(loader_port_remaining_time(), 0u);
    loader_port_start_timer(0xFFFFFFFF);
    EXPECT_EQ(loader_port_remaining_time(), 0x7FFFFFFFu);
    loader_port_delay_ms(0);
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(PortHooks, EntryFrameIsThePayloadProtocolSetFieldFrame) {
    const std::uint8_t payload[] = {0x00, 0x02, 0x03, 0x02, 0x08, 0x01, 0x00, 0x00, 0x00};
    std::uint8_t frame[PayloadFrame::kMaxFrame];
    const std::size_t n = PayloadFrame::build(payload, sizeof payload, frame);
    EXPECT_EQ(Bytes(frame, frame + n), Bytes(std::begin(TaviskEspSerialFlasherPort::kEnterEspFlashingPayload),
                                             std::end(TaviskEspSerialFlasherPort::kEnterEspFlashingPayload)));
}

TEST_F(PortHooks, EnterBootloaderWritesTheFrameAndReopensThePort) {
    const struct {
        int failedOpens;
        std::vector<long long> sleeps;
        bool connected;
        bool errorLine;
    } cases[] = {
        {0, {150, 150, 150}, true, false},
        {3, {150, 150, 200, 200, 200, 150}, true, false},
        {25,
         [] {
             std::vector<long long> s{150, 150};
             s.resize(27, 200);
             return s;
         }(),
         false, true},
    };
    for (const auto& c : cases) {
        tavisk::test::LogCapture log;
        clock.clearSleeps();
        port->writes.clear();
        ASSERT_EQ(usb->connect(UsbCommunication::COM), LINK_OK);
        port->failOpens = c.failedOpens;
        const std::size_t opensBefore = port->opens.size();
        loader_port_enter_bootloader();
        ASSERT_EQ(port->writes.size(), 1u);
        EXPECT_EQ(port->writes[0], Bytes(std::begin(TaviskEspSerialFlasherPort::kEnterEspFlashingPayload),
                                         std::end(TaviskEspSerialFlasherPort::kEnterEspFlashingPayload)));
        EXPECT_EQ(clock.sleeps(), c.sleeps);
        EXPECT_EQ(static_cast<int>(port->opens.size() - opensBefore), std::min(c.failedOpens + 1, 25));
        EXPECT_EQ(usb->isConnected(), c.connected);
        EXPECT_EQ(log.count("EspSerialFlasherPort: Failed to reconnect serial port after ESP prepare payload",
                            BaseLogger::ERROR),
                  c.errorLine ? 1u : 0u);
    }
}

TEST_F(PortHooks, EnterBootloaderWithoutALinkDoesNothing) {
    tavisk::test::LogCapture log;
    taviskEspSerialFlasherPortSetUsb(nullptr);
    loader_port_enter_bootloader();
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(port->opens.empty());
}

TEST_F(PortHooks, DebugPrintLogsAtDebugOnly) {
    tavisk::test::LogCapture log;
    loader_port_debug_print("Error: INVALID_CRC");
    loader_port_debug_print(nullptr);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].type, BaseLogger::DEBUG);
    EXPECT_EQ(log.lines()[0].text, "EspSerialFlasherPort: Error: INVALID_CRC");
    LoggerManager::getInstance().setGlobalLevel(LoggerManager::IMPORTANT);
    loader_port_debug_print("hidden");
    EXPECT_EQ(log.lines().size(), 1u);
}
} // namespace
