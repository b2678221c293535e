#pragma once

#include "link/SerialPort.h"

#include <cstdint>
#include <string>
#include <termios.h>

class LoggerManager;

// The serial port on POSIX systems (termios). Opens for exclusive use (TIOCEXCL, and flock
// because root ignores TIOCEXCL); reads wait with poll(), never by sleeping; a hang-up is a
// read failure; writes give up after 2000 ms and report the count written. Closing gives the
// terminal back the settings it had at open and lifts the exclusive flag; while the port is
// open, releaseOpenSerialPorts() (SerialPort.h) does the same from a crash handler.
class SerialPortPosix : public SerialPort {
public:
    // devDir is scanned for ttyUSB*, ttyACM* and ttyS* (the last only when sysTtyDir/NAME/device
    // exists, i.e. a driver stands behind it); tests point both at folders of their own.
    explicit SerialPortPosix(std::string devDir = "/dev", std::string sysTtyDir = "/sys/class/tty");
    ~SerialPortPosix() override;
    SerialPortPosix(const SerialPortPosix&) = delete;
    SerialPortPosix& operator=(const SerialPortPosix&) = delete;

    // Full paths in natural order, then each character device named in TAVISK_SERIAL_PORTS
    // (anything else named there is skipped with a DEBUG line).
    std::vector<std::string> getAvailablePorts() override;
    LinkStatus openPort(const std::string& name) override;
    LinkStatus closePort() override;
    bool isOpen() const override;
    bool serialPortConfig(UsbTypes::Baudrate rate) override;
    void verifyPortSettings() override;
    IoResult writeDataImpl(const std::uint8_t* data, std::uint64_t size) override;
    IoResult readDataImpl(std::uint8_t* buffer, std::uint64_t size, int timeoutMs) override;
    void speedConfig(UsbTypes::Baudrate rate) override;

    // The device path for a port name: "/..." as it is, anything else under "/dev/".
    static std::string normalizePortName(const std::string& name);

    // The rate that the next serialPortConfig applies.
    std::uint32_t appliedBaud() const { return baud; }

private:
    void logError(const std::string& text);
    // The device path for a port name; empty, with the reason in refusal, when a name without
    // a leading "/" would lead out of /dev (through a ".." part, or a link that resolves
    // elsewhere).
    static std::string devicePath(const std::string& name, std::string& refusal);

    LoggerManager* logger;
    int fd = -1;
    // The terminal's settings at open, given back at close (when tcgetattr could read them).
    termios openedSettings{};
    bool restoreSettings = false;
    // This port's entry in the process-wide table of open ports; -1 when the table was full.
    int record = -1;
    std::uint32_t baud = UsbTypes::kDefaultBaudrate;
    std::string portName;
    std::string devDir;
    std::string sysTtyDir;
};
