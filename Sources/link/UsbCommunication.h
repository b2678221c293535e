#pragma once

#include "link/LinkControl.h"
#include "link/LinkTypes.h"
#include "link/SerialPort.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class LoggerManager;

// The device link that the rest of the system talks through: records the link method in use
// and owns the serial port that does the work for the COM method (USB is a name only).
//
// Thread-safe: the GUI thread connects and disconnects, the sender and the ESP32 flash worker
// write, the listener reads, all at once. No thread uses the port after another has closed
// it, and no lock is held while a read waits: reads wait in short slices, and opening or
// closing the port waits for the slice or write in progress to end. The port's name and rate
// and the list of ports are set and read under a lock of their own.
class UsbCommunication : public LinkControl {
public:
    using ConnectionMethod = LinkMethod::ConnectionMethod;
    static constexpr ConnectionMethod NONE = LinkMethod::NONE;
    static constexpr ConnectionMethod USB = LinkMethod::USB;
    static constexpr ConnectionMethod COM = LinkMethod::COM;

    // Creates the port for the running system.
    UsbCommunication();
    // Takes the given port (tests inject a fake); a null port means no serial backend.
    explicit UsbCommunication(std::unique_ptr<SerialPort> port);
    ~UsbCommunication() override;
    UsbCommunication(const UsbCommunication&) = delete;
    UsbCommunication& operator=(const UsbCommunication&) = delete;

    // COM: opens the port set by setPort and configures it at its rate. LINK_OK,
    // LINK_OPEN_FAILED (also when the opened port cannot be configured: it is closed again) or
    // LINK_READ_FAILED.
    LinkStatus connect(ConnectionMethod method);
    // LINK_OK, LINK_CLOSE_FAILED or LINK_READ_FAILED (no method chosen).
    LinkStatus disconnect() override;
    bool isConnected() override;
    // The link itself runs no jobs.
    bool busy() override { return false; }

    // LinkControl: the port list refreshed, and setPort followed by connect(COM).
    std::vector<std::string> listPorts() override;
    LinkStatus connectPort(const std::string& portName, UsbTypes::Baudrate rate) override;

    // The port and rate that connect(COM) opens: set by the connection dialog (through the
    // session) and reused by the reconnects of the ESP32 flash and after a reboot.
    void setPort(const std::string& portName, UsbTypes::Baudrate rate);
    std::string getPortName();
    UsbTypes::Baudrate getBaudrate();
    // The ports found by the last toDetermineDevices(COM).
    std::vector<std::string> getDeviceList();
    // The method chosen by the last connect, or NONE after a disconnect or a dropped link.
    ConnectionMethod getConnectionMethod();
    // COM: refills deviceList with the ports found. LINK_OK, LINK_WRITE_FAILED or
    // LINK_READ_FAILED.
    LinkStatus toDetermineDevices(ConnectionMethod method);

    // Waits up to timeoutMs for bytes and returns what has arrived (COM), else as read(buffer,
    // size). A failure of the line drops the link (port closed, method NONE).
    IoResult read(void* buffer, std::uint64_t size, int timeoutMs);
    // COM with a 1000 ms timeout; logs a failure. Other methods: LINK_UNAVAILABLE.
    IoResult read(void* buffer, std::uint64_t size);
    // LINK_OK, LINK_WRITE_FAILED (the link is dropped: port closed, method NONE) or
    // LINK_UNAVAILABLE (no method that can write).
    LinkStatus write(const void* data, std::uint64_t size);
    // Sleeps ms milliseconds when ms > 0 as a signed number; always true.
    bool waitForReadyRead(std::uint64_t ms);

    // LINK_OK, or LINK_WRITE_FAILED after dropping the link on a failed or short write.
    LinkStatus writeDataComImpl(const std::uint8_t* data, std::uint64_t size);
    // The open port read with a 1000 ms timeout; {LINK_READ_FAILED, 0} when it is closed.
    IoResult readDataComImpl(std::uint8_t* buffer, std::uint64_t size);
    LinkStatus writeDataUsbImpl(const std::uint8_t* data, std::uint64_t size);
    IoResult readDataUsbImpl(std::uint8_t* buffer, std::uint64_t size);

private:
    // What an operation answers where it does not go to the port.
    struct Refusals {
        LinkStatus usb;       // the USB method, which is recorded only and moves no bytes
        LinkStatus noMethod;  // a method that is neither USB nor COM: none chosen
        LinkStatus noBackend; // COM without a serial backend
    };
    static constexpr Refusals kConnectRefusals{LINK_OK, LINK_READ_FAILED, LINK_OPEN_FAILED};
    static constexpr Refusals kDisconnectRefusals{LINK_OK, LINK_READ_FAILED, LINK_CLOSE_FAILED};
    static constexpr Refusals kDeviceListRefusals{LINK_OK, LINK_READ_FAILED, LINK_WRITE_FAILED};
    // Reads and writes: on LINK_UNAVAILABLE the listener ends, where another failure would have
    // it read again at once.
    static constexpr Refusals kInputOutputRefusals{LINK_UNAVAILABLE, LINK_UNAVAILABLE, LINK_UNAVAILABLE};

    // The one check of the method and the serial backend, which connect, disconnect, the port
    // list, reads and writes ask first: nothing when `method` is COM with a backend, so that the
    // operation goes to the port; else the operation's answer for the case, after a WARNING for
    // no method chosen or an ERROR for no backend (the USB method says nothing). It logs, so it
    // is never called under stateMutex.
    std::optional<LinkStatus> refusal(ConnectionMethod method, const Refusals& answers);
    IoResult readCom(std::uint8_t* buffer, std::uint64_t size, int timeoutMs, bool logFailure);
    void beginControl(std::unique_lock<std::mutex>& lock);
    void endControl(std::unique_lock<std::mutex>& lock);
    void dropLink(std::uint64_t usedGeneration);

    ConnectionMethod connectionMethod = NONE;
    // Null without a serial backend, and never changed: connect(COM) is refused without one, so
    // the method is COM only with a port, and without one portOpen stays false.
    const std::unique_ptr<SerialPort> port;
    LoggerManager* logger;

    // Guards the three settings below: the GUI thread sets them while a reconnect on a worker
    // may read them. Held only to copy them.
    std::mutex settingsMutex;
    std::string portName;
    std::vector<std::string> deviceList;
    UsbTypes::Baudrate baudrate = UsbTypes::kDefaultBaudrate;

    // Serialises connect, disconnect, the port list and dropping the link: one thread at a
    // time opens, configures or closes the port. Held across those port calls only.
    std::mutex controlMutex;
    // Keeps two writers' bytes from interleaving; held across one port write (bounded).
    std::mutex writeMutex;
    // Guards the fields below and, with `changed`, lets an open or close wait for the reads
    // and writes in progress, and lets them wait for an open or close. Never held across a
    // port call that touches the line.
    std::mutex stateMutex;
    std::condition_variable changed;
    bool portOpen = false;        // the port's state as of the last open or close
    bool controlling = false;     // an open, configure or close is in progress
    unsigned portUsers = 0;       // reads and writes in progress on the port
    std::uint64_t generation = 0; // counts opens, so a late failure drops only its own link
};
