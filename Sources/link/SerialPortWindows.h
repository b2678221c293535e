#pragma once

#include "link/SerialPort.h"

#include <cstdint>
#include <string>

class LoggerManager;

// The serial port on Windows, written on the Win32 communications functions: COM1 to COM256,
// exclusive synchronous access, reads that poll the driver's receive count every millisecond.
class SerialPortWindows : public SerialPort {
public:
    SerialPortWindows();
    ~SerialPortWindows() override;
    SerialPortWindows(const SerialPortWindows&) = delete;
    SerialPortWindows& operator=(const SerialPortWindows&) = delete;

    std::vector<std::string> getAvailablePorts() override;
    LinkStatus openPort(const std::string& name) override;
    LinkStatus closePort() override;
    bool isOpen() const override;
    bool serialPortConfig(UsbTypes::Baudrate rate) override;
    void verifyPortSettings() override;
    IoResult writeDataImpl(const std::uint8_t* data, std::uint64_t size) override;
    IoResult readDataImpl(std::uint8_t* buffer, std::uint64_t size, int timeoutMs) override;
    void speedConfig(UsbTypes::Baudrate rate) override;

    // "\\.\" in front of a COM name; any other name (or one already a device path) unchanged.
    static std::string normalizePortName(const std::string& name);

    // The rate that the next serialPortConfig applies.
    std::uint32_t appliedBaud() const { return baud; }

private:
    void logError(const std::string& text);

    LoggerManager* logger;
    void* handle; // HANDLE; INVALID_HANDLE_VALUE while closed
    std::uint32_t baud = UsbTypes::kDefaultBaudrate;
    std::string portName;
};
