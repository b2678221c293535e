#pragma once

#include "link/LinkTypes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The abstract serial port: 8N1, no flow control, DTR and RTS raised, at one of nine rates.
// Not thread-safe by itself: UsbCommunication, its one owner, serialises its callers and never
// closes the port while another thread is inside a read or a write.
class SerialPort {
public:
    virtual ~SerialPort();

    // The serial ports that exist on this machine, sorted, as names openPort accepts.
    virtual std::vector<std::string> getAvailablePorts() = 0;
    // Closes any open port, records the name and opens that port for exclusive use.
    // LINK_OK or LINK_OPEN_FAILED.
    virtual LinkStatus openPort(const std::string& name) = 0;
    // LINK_OK or LINK_CLOSE_FAILED; the port counts as closed afterwards in every case.
    virtual LinkStatus closePort() = 0;
    virtual bool isOpen() const = 0;
    // Applies the rate and the line settings, sets the timeouts and empties both buffers.
    virtual bool serialPortConfig(UsbTypes::Baudrate rate) = 0;
    // Logs the line settings that the driver reports.
    virtual void verifyPortSettings() = 0;
    // Writes within 2000 ms; a short write is LINK_OK with the smaller count and a WARNING.
    virtual IoResult writeDataImpl(const std::uint8_t* data, std::uint64_t size) = 0;
    // Waits up to timeoutMs (0 or less: looks once) for received bytes and returns what is
    // waiting at that moment, at most `size`: LINK_OK, LINK_NO_DATA or LINK_READ_FAILED. A
    // line that is gone (hang-up, device removed) is LINK_READ_FAILED.
    virtual IoResult readDataImpl(std::uint8_t* buffer, std::uint64_t size, int timeoutMs) = 0;
    // Records the rate that the next serialPortConfig applies (115200 for an unlisted one).
    virtual void speedConfig(UsbTypes::Baudrate rate) = 0;
};

// The port for the running system (SerialPortPosix or SerialPortWindows).
std::unique_ptr<SerialPort> createSerialPort();

// For crash and termination handlers (async-signal-safe): lifts the exclusive flag of every
// serial port this process has open and gives each the terminal settings it had when it was
// opened, so that the next start finds the line free and as it was. The ports stay open. A
// no-op where the system ends an exclusive open with the process (Windows).
void releaseOpenSerialPorts() noexcept;
