#pragma once

#include "link/SerialPort.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tavisk::test {

// A serial port without a line, for tests of the link front, the loader's hooks and the
// connection dialog: it lists, opens, configures and fails as the test sets, answers reads from
// a script, records what it was asked to do, and checks the link's promise to its port (nothing
// is read or written on a closed port, and no close happens while a read or write runs).
//
// Thread-safe: the link may call it from several threads. The settings and records are plain
// members for the test to set and read while no other thread uses the port.
class FakeSerialPort : public SerialPort {
public:
    using Bytes = std::vector<std::uint8_t>;

    // One answer to a read: its status and, with LINK_OK, its bytes (a read takes at most what
    // it asked for and leaves the rest for the next read).
    struct Read {
        LinkStatus status = LINK_OK;
        Bytes bytes;
    };

    std::vector<std::string> getAvailablePorts() override;
    // Closes an open port first, as a real port does.
    LinkStatus openPort(const std::string& name) override;
    LinkStatus closePort() override;
    bool isOpen() const override;
    bool serialPortConfig(UsbTypes::Baudrate rate) override;
    void verifyPortSettings() override {}
    IoResult writeDataImpl(const std::uint8_t* data, std::uint64_t size) override;
    // Waits up to timeoutMs for a scripted answer.
    IoResult readDataImpl(std::uint8_t* buffer, std::uint64_t size, int timeoutMs) override;
    void speedConfig(UsbTypes::Baudrate) override {}

    // Bytes that arrive, for the next read.
    void feed(const std::string& bytes);
    // Answers for the next reads, in order.
    void script(std::deque<Read> answers);
    // From now on every read fails.
    void failReads();
    // All bytes written, in order.
    Bytes written() const;

    // Set by the test.
    std::vector<std::string> ports;
    LinkStatus openResult = LINK_OK;
    int failOpens = 0; // this many opens fail before openResult counts again
    LinkStatus closeResult = LINK_OK;
    bool configResult = true;
    bool writeFails = false;
    bool writeShort = false; // a write takes one byte less than it was given

    // Observed.
    std::vector<std::string> opens; // the name of each open
    int closes = 0;                 // closes of an open port
    std::vector<UsbTypes::Baudrate> configuredRates;
    std::vector<Bytes> writes; // each write, whether it succeeded or not
    int reads = 0;             // calls of readDataImpl
    std::atomic<int> violations{0};

private:
    struct IoGuard {
        explicit IoGuard(FakeSerialPort& port);
        ~IoGuard();
        FakeSerialPort& port;
    };

    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Read> incoming;
    bool readsFail = false;
    bool open = false;
    std::atomic<int> inIo{0};
};

} // namespace tavisk::test
