#pragma once

#include "SerialPort.h"

#include <string>
#include <vector>

namespace tavisk::test {

// A serial port without a line: lists the ports it is told, opens and closes as told and
// records what the link asked of it.
class FakeSerialPort : public SerialPort {
public:
    std::vector<std::string> getAvailablePorts() override { return available; }
    LinkStatus openPort(const std::string& name) override {
        opens.push_back(name);
        open = openResult == LINK_OK;
        return openResult;
    }
    LinkStatus closePort() override {
        ++closes;
        open = false;
        return closeResult;
    }
    bool isOpen() const override { return open; }
    bool serialPortConfig(UsbTypes::Baudrate rate) override {
        configuredRates.push_back(rate);
        return true;
    }
    void verifyPortSettings() override {}
    IoResult writeDataImpl(const std::uint8_t*, std::uint64_t size) override {
        return writeFails ? IoResult{LINK_WRITE_FAILED, 0} : IoResult{LINK_OK, size};
    }
    IoResult readDataImpl(std::uint8_t*, std::uint64_t, int) override { return {LINK_NO_DATA, 0}; }
    void speedConfig(UsbTypes::Baudrate) override {}

    std::vector<std::string> available;
    LinkStatus openResult = LINK_OK;
    LinkStatus closeResult = LINK_OK;
    bool writeFails = false;

    bool open = false;
    std::vector<std::string> opens;
    std::vector<UsbTypes::Baudrate> configuredRates;
    int closes = 0;
};

} // namespace tavisk::test
