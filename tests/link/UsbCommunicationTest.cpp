// The link front over a scripted port, and over the real port on a pseudo-terminal.
#include "link/UsbCommunication.h"

#include "tests/support/FakeSerialPort.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using tavisk::test::LogCapture;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using tavisk::test::FakeSerialPort;

class UsbCommunicationTest : public ::testing::Test {
protected:
    UsbCommunicationTest() {
        auto owned = std::make_unique<FakeSerialPort>();
        fake = owned.get();
        link = std::make_unique<UsbCommunication>(std::move(owned));
        link->setPort("COM3", UsbTypes::kDefaultBaudrate);
    }
    void connectCom() {
        ASSERT_EQ(link->connect(UsbCommunication::COM), LINK_OK);
        log.clear();
    }
    int readStatus(int timeoutMs = 0) {
        char buf[16];
        return link->read(buf, sizeof buf, timeoutMs).status;
    }
    int writeStatus() { return link->write("ab", 2); }

    LogCapture log;
    FakeSerialPort* fake = nullptr;
    std::unique_ptr<UsbCommunication> link;
};

const auto kOther = static_cast<UsbCommunication::ConnectionMethod>(7);
const std::string kNoMethod = "UsbCommunication: Method didn't choose";

TEST_F(UsbCommunicationTest, EachOperationInEachMethod) {
    struct Row {
        UsbCommunication::ConnectionMethod state;
        const char* operation;
        std::function<int(UsbCommunication&)> run;
        int result;
        std::vector<std::string> lines;
    };
    using U = UsbCommunication;
    char buf[16];
    const auto read3 = [&](U& l) { return int(l.read(buf, sizeof buf, 0).status); };
    const auto read2 = [&](U& l) { return int(l.read(buf, sizeof buf).status); };
    const auto readCom = [&](U& l) {
        return int(l.readDataComImpl(reinterpret_cast<std::uint8_t*>(buf), sizeof buf).status);
    };
    const auto write = [](U& l) { return int(l.write("ab", 2)); };
    const auto connected = [](U& l) { return int(l.isConnected()); };
    const std::vector<Row> rows = {
        {U::NONE, "connect(USB)", [](U& l) { return int(l.connect(U::USB)); }, LINK_OK, {}},
        {U::NONE,
         "connect(COM)",
         [](U& l) { return int(l.connect(U::COM)); },
         LINK_OK,
         {"UsbCommunication: Port COM3 is opened!"}},
        {U::NONE,
         "connect(other)",
         [](U& l) { return int(l.connect(kOther)); },
         LINK_READ_FAILED,
         {kNoMethod}},
        {U::NONE,
         "connect(NONE)",
         [](U& l) { return int(l.connect(U::NONE)); },
         LINK_READ_FAILED,
         {kNoMethod}},
        {U::NONE, "disconnect", [](U& l) { return int(l.disconnect()); }, LINK_READ_FAILED, {kNoMethod}},
        {U::USB, "disconnect", [](U& l) { return int(l.disconnect()); }, LINK_OK, {}},
        {U::COM, "disconnect", [](U& l) { return int(l.disconnect()); }, LINK_OK, {}},
        {U::NONE, "isConnected", connected, 0, {}},
        {U::USB, "isConnected", connected, 1, {}},
        {U::COM, "isConnected", connected, 1, {}},
        {U::NONE, "read(timeout)", read3, LINK_UNAVAILABLE, {kNoMethod}},
        {U::USB, "read(timeout)", read3, LINK_UNAVAILABLE, {}},
        {U::COM, "read(timeout)", read3, LINK_OK, {}},
        {U::NONE, "read()", read2, LINK_UNAVAILABLE, {kNoMethod}},
        {U::USB, "read()", read2, LINK_UNAVAILABLE, {}},
        {U::COM, "read()", read2, LINK_OK, {}},
        {U::NONE, "readDataComImpl", readCom, LINK_READ_FAILED, {}},
        {U::COM, "readDataComImpl", readCom, LINK_OK, {}},
        {U::NONE, "write", write, LINK_UNAVAILABLE, {kNoMethod}},
        {U::USB, "write", write, LINK_UNAVAILABLE, {}},
        {U::COM, "write", write, LINK_OK, {}},
        {U::NONE,
         "toDetermineDevices(COM)",
         [](U& l) { return int(l.toDetermineDevices(U::COM)); },
         LINK_OK,
         {}},
        {U::NONE,
         "toDetermineDevices(USB)",
         [](U& l) { return int(l.toDetermineDevices(U::USB)); },
         LINK_OK,
         {}},
        {U::NONE,
         "toDetermineDevices(other)",
         [](U& l) { return int(l.toDetermineDevices(kOther)); },
         LINK_READ_FAILED,
         {kNoMethod}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.operation) + " in method " + std::to_string(row.state));
        auto owned = std::make_unique<FakeSerialPort>();
        FakeSerialPort& port = *owned;
        port.ports = {"COM1", "COM4"};
        UsbCommunication l(std::move(owned));
        l.setPort("COM3", UsbTypes::kDefaultBaudrate);
        if (row.state != U::NONE) {
            ASSERT_EQ(l.connect(row.state), LINK_OK);
        }
        port.feed("xy");
        log.clear();
        EXPECT_EQ(row.run(l), row.result);
        EXPECT_EQ(log.texts(), row.lines);
        EXPECT_EQ(port.violations.load(), 0);
    }
}

TEST_F(UsbCommunicationTest, ConnectOpensTheNamedPortAtTheChosenRate) {
    EXPECT_EQ(link->getBaudrate(), UsbTypes::BAUD_115200);
    connectCom();
    link->setPort("COM5", UsbTypes::BAUD_921600);
    ASSERT_EQ(link->connect(UsbCommunication::COM), LINK_OK);
    EXPECT_EQ(fake->opens, (std::vector<std::string>{"COM3", "COM5"}));
    EXPECT_EQ(fake->configuredRates,
              (std::vector<UsbTypes::Baudrate>{UsbTypes::BAUD_115200, UsbTypes::BAUD_921600}));
    EXPECT_EQ(fake->closes, 1); // the first port, closed by the reopen
}

TEST_F(UsbCommunicationTest, PortThatDoesNotOpenIsNotConnected) {
    fake->openResult = LINK_OPEN_FAILED;
    EXPECT_EQ(link->connect(UsbCommunication::COM), LINK_OPEN_FAILED);
    EXPECT_EQ(log.count("UsbCommunication: Port COM3 is not available!", BaseLogger::ERROR), 1u);
    EXPECT_FALSE(link->isConnected());
    EXPECT_TRUE(fake->configuredRates.empty());
}

TEST_F(UsbCommunicationTest, PortThatCannotBeConfiguredIsClosedAndReportedAsNotOpened) {
    fake->configResult = false;
    EXPECT_EQ(link->connect(UsbCommunication::COM), LINK_OPEN_FAILED);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"UsbCommunication: Port COM3 could not be configured and was closed"});
    EXPECT_FALSE(fake->isOpen());
    EXPECT_FALSE(link->isConnected());
    log.clear();
    EXPECT_EQ(writeStatus(), LINK_UNAVAILABLE);
    EXPECT_TRUE(fake->written().empty());

    fake->configResult = true;
    EXPECT_EQ(link->connect(UsbCommunication::COM), LINK_OK);
    EXPECT_TRUE(link->isConnected());
}

TEST_F(UsbCommunicationTest, FailedOrShortWriteDropsTheLink) {
    for (const bool shortWrite : {false, true}) {
        SCOPED_TRACE(shortWrite ? "short write" : "failed write");
        fake->writeFails = !shortWrite;
        fake->writeShort = shortWrite;
        connectCom();
        EXPECT_EQ(writeStatus(), LINK_WRITE_FAILED);
        EXPECT_EQ(log.texts(),
                  (std::vector<std::string>{"UsbCommunication: COM write failed; treating as disconnected",
                                            "UsbCommunication: Transmit Error COM"}));
        EXPECT_FALSE(fake->isOpen());
        EXPECT_FALSE(link->isConnected());

        log.clear();
        EXPECT_EQ(writeStatus(), LINK_UNAVAILABLE);
        EXPECT_EQ(readStatus(), LINK_UNAVAILABLE);
        EXPECT_EQ(log.texts(), (std::vector<std::string>{kNoMethod, kNoMethod}));
        EXPECT_EQ(link->disconnect(), LINK_READ_FAILED);
    }
    EXPECT_EQ(fake->violations.load(), 0);
}

TEST_F(UsbCommunicationTest, FailedReadDropsTheLinkSoTheListenerEnds) {
    connectCom();
    fake->failReads();
    char buf[8];
    EXPECT_EQ(link->read(buf, sizeof buf, 1000).status, LINK_READ_FAILED);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"UsbCommunication: COM read failed; treating as disconnected"});
    EXPECT_FALSE(fake->isOpen());
    EXPECT_FALSE(link->isConnected());
    EXPECT_EQ(link->read(buf, sizeof buf, 1000).status, LINK_UNAVAILABLE);

    // Without a timeout the read also names the failure; a new connect restores the link.
    auto owned = std::make_unique<FakeSerialPort>();
    FakeSerialPort& port = *owned;
    UsbCommunication other(std::move(owned));
    ASSERT_EQ(other.connect(UsbCommunication::COM), LINK_OK);
    port.failReads();
    log.clear();
    EXPECT_EQ(other.read(buf, sizeof buf).status, LINK_READ_FAILED);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"UsbCommunication: Receive Error COM",
                                        "UsbCommunication: COM read failed; treating as disconnected"}));
    EXPECT_EQ(other.connect(UsbCommunication::COM), LINK_OK);
    EXPECT_TRUE(other.isConnected());
}

TEST_F(UsbCommunicationTest, FailedCloseLeavesNoEndlessReadFailures) {
    connectCom();
    fake->closeResult = LINK_CLOSE_FAILED;
    EXPECT_EQ(link->disconnect(), LINK_CLOSE_FAILED);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"UsbCommunication: Could not disconnect to COM port"});
    EXPECT_FALSE(link->isConnected());
    log.clear();
    // The port is closed under a method of COM: one failure, then the link is known to be gone.
    EXPECT_EQ(readStatus(), LINK_READ_FAILED);
    EXPECT_EQ(readStatus(), LINK_UNAVAILABLE);
    EXPECT_EQ(fake->violations.load(), 0);
}

TEST_F(UsbCommunicationTest, SilentLineGivesNoDataAfterTheTimeoutWithoutALog) {
    connectCom();
    const auto start = Clock::now();
    EXPECT_EQ(readStatus(150), LINK_NO_DATA);
    EXPECT_GE(Clock::now() - start, 150ms);
    EXPECT_EQ(readStatus(0), LINK_NO_DATA);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(UsbCommunicationTest, DeviceListIsRefilledAndAnEmptyOneIsAnError) {
    fake->ports = {"COM1", "COM2"};
    EXPECT_EQ(link->toDetermineDevices(UsbCommunication::COM), LINK_OK);
    EXPECT_EQ(link->getDeviceList(), fake->ports);
    fake->ports.clear();
    EXPECT_EQ(link->toDetermineDevices(UsbCommunication::COM), LINK_WRITE_FAILED);
    EXPECT_TRUE(link->getDeviceList().empty());
    EXPECT_EQ(log.texts(), std::vector<std::string>{"UsbCommunication: Device COM list is empty"});
}

TEST(UsbCommunicationWithoutPort, ComOperationsReportTheMissingBackend) {
    LogCapture log;
    UsbCommunication link(nullptr);
    EXPECT_EQ(link.connect(UsbCommunication::COM), LINK_OPEN_FAILED);
    EXPECT_EQ(link.toDetermineDevices(UsbCommunication::COM), LINK_WRITE_FAILED);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(log.count("UsbCommunication: Serial port backend is not available on this platform/build",
                        BaseLogger::ERROR),
              2u);
}

TEST(UsbCommunicationStubs, UsbTransferAndWaitAnswerWithoutIo) {
    LogCapture log;
    UsbCommunication link(nullptr);
    std::uint8_t buf[4] = {};
    EXPECT_EQ(link.writeDataUsbImpl(buf, 4), LINK_UNAVAILABLE);
    EXPECT_EQ(link.readDataUsbImpl(buf, 4).status, LINK_UNAVAILABLE);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"UsbCommunication: libusb doesn't implemented :(... Can't write",
                                        "UsbCommunication: libusb doesn't implemented :(... Can't read"}));
    EXPECT_TRUE(link.waitForReadyRead(0));
    EXPECT_TRUE(link.waitForReadyRead(UINT64_MAX)); // -1 as a signed number: no sleep
    EXPECT_TRUE(link.waitForReadyRead(5));
}

TEST_F(UsbCommunicationTest, ReadersWritersAndReconnectsNeverMeetOnAClosedPort) {
    connectCom();
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::atomic<int> writes{0};
    std::thread reader([&] {
        char buf[8];
        while (!stop) {
            link->read(buf, sizeof buf, 30);
            ++reads;
        }
    });
    std::thread writer([&] {
        while (!stop) {
            link->write("frame", 5);
            ++writes;
        }
    });
    // Keep reopening and closing until both workers have run many times in between.
    const auto deadline = Clock::now() + 60s;
    for (int i = 0; (i < 200 || reads < 100 || writes < 100) && Clock::now() < deadline; ++i) {
        if (i % 2 == 0)
            link->disconnect();
        else
            link->connect(UsbCommunication::COM);
        link->isConnected();
        if (i % 10 == 0)
            fake->feed("z");
        // Opening and closing back to back would let this thread win the link every time:
        // leave the workers a moment between two changes.
        std::this_thread::sleep_for(200us);
    }
    stop = true;
    reader.join();
    writer.join();
    EXPECT_EQ(fake->violations.load(), 0);
    EXPECT_GE(reads.load(), 100);
    EXPECT_GE(writes.load(), 100);
}

} // namespace
