#include "link/UsbCommunication.h"

#include "core/LoggerManager.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {
const std::string kPrefix = "UsbCommunication: ";
const char* const kNoBackend = "Serial port backend is not available on this platform/build";
const char* const kNoMethod = "Method didn't choose";

// A read waits on the port in slices of at most this long, so that an open or close from
// another thread waits for one slice at most instead of a whole reply timeout.
constexpr long long kReadSliceMs = 50;
} // namespace

UsbCommunication::UsbCommunication() : UsbCommunication(createSerialPort()) {}

UsbCommunication::UsbCommunication(std::unique_ptr<SerialPort> serialPort)
    : port(std::move(serialPort)), logger(&LoggerManager::getInstance()) {}

// The port's own destructor closes it.
UsbCommunication::~UsbCommunication() = default;

void UsbCommunication::beginControl(std::unique_lock<std::mutex>& lock) {
    controlling = true;
    changed.wait(lock, [this] { return portUsers == 0; });
}

void UsbCommunication::endControl(std::unique_lock<std::mutex>& lock) {
    (void)lock;
    portOpen = port->isOpen();
    controlling = false;
    changed.notify_all();
}

std::optional<LinkStatus> UsbCommunication::refusal(ConnectionMethod method, const Refusals& answers) {
    if (method == USB)
        return answers.usb;
    if (method != COM) {
        logger->log(kNoMethod, BaseLogger::WARNING, kPrefix);
        return answers.noMethod;
    }
    if (!port) {
        logger->log(kNoBackend, BaseLogger::ERROR, kPrefix);
        return answers.noBackend;
    }
    return std::nullopt;
}

LinkStatus UsbCommunication::connect(ConnectionMethod method) {
    if (const std::optional<LinkStatus> refused = refusal(method, kConnectRefusals)) {
        if (method == USB) {
            std::lock_guard<std::mutex> state(stateMutex);
            connectionMethod = USB;
        }
        return *refused;
    }

    std::lock_guard<std::mutex> control(controlMutex);
    const std::string name = getPortName();
    const UsbTypes::Baudrate rate = getBaudrate();
    {
        std::unique_lock<std::mutex> state(stateMutex);
        beginControl(state);
    }
    const bool opened = port->openPort(name) == LINK_OK;
    // A port left at the wrong settings would only garble what follows: close it again.
    const bool configured = opened && port->serialPortConfig(rate);
    if (opened && !configured)
        port->closePort();
    {
        std::unique_lock<std::mutex> state(stateMutex);
        if (configured) {
            connectionMethod = COM;
            ++generation;
        }
        endControl(state);
    }

    if (!opened) {
        logger->log("Port " + name + " is not available!", BaseLogger::ERROR, kPrefix);
        return LINK_OPEN_FAILED;
    }
    if (!configured) {
        logger->log("Port " + name + " could not be configured and was closed", BaseLogger::ERROR, kPrefix);
        return LINK_OPEN_FAILED;
    }
    logger->log("Port " + name + " is opened!", BaseLogger::INFO, kPrefix);
    return LINK_OK;
}

LinkStatus UsbCommunication::disconnect() {
    std::lock_guard<std::mutex> control(controlMutex);
    // What may change the method after this look (connect(USB), a read that finds the port
    // closed) may as well while beginControl waits; the close below is right after either.
    const ConnectionMethod method = getConnectionMethod();
    if (const std::optional<LinkStatus> refused = refusal(method, kDisconnectRefusals)) {
        if (method == USB) {
            std::lock_guard<std::mutex> state(stateMutex);
            connectionMethod = NONE;
        }
        return *refused;
    }
    std::unique_lock<std::mutex> state(stateMutex);
    beginControl(state);
    state.unlock();
    const LinkStatus closed = port->closePort();
    state.lock();
    if (closed == LINK_OK)
        connectionMethod = NONE;
    endControl(state);
    state.unlock();
    if (closed != LINK_OK) {
        logger->log("Could not disconnect to COM port", BaseLogger::ERROR, kPrefix);
        return LINK_CLOSE_FAILED;
    }
    return LINK_OK;
}

bool UsbCommunication::isConnected() {
    std::lock_guard<std::mutex> state(stateMutex);
    if (connectionMethod == COM)
        return portOpen;
    return connectionMethod > 0;
}

UsbCommunication::ConnectionMethod UsbCommunication::getConnectionMethod() {
    std::lock_guard<std::mutex> state(stateMutex);
    return connectionMethod;
}

LinkStatus UsbCommunication::toDetermineDevices(ConnectionMethod method) {
    if (const std::optional<LinkStatus> refused = refusal(method, kDeviceListRefusals))
        return *refused;
    std::vector<std::string> found;
    {
        // Listing looks at the system, not at the open port: only opening and closing exclude it.
        std::lock_guard<std::mutex> control(controlMutex);
        found = port->getAvailablePorts();
    }
    const bool none = found.empty();
    {
        std::lock_guard<std::mutex> settings(settingsMutex);
        deviceList = std::move(found);
    }
    if (none) {
        logger->log("Device COM list is empty", BaseLogger::ERROR, kPrefix);
        return LINK_WRITE_FAILED;
    }
    return LINK_OK;
}

std::vector<std::string> UsbCommunication::listPorts() {
    // The link logs its own failures; the list is whatever it holds afterwards.
    toDetermineDevices(COM);
    return getDeviceList();
}

LinkStatus UsbCommunication::connectPort(const std::string& name, UsbTypes::Baudrate rate) {
    setPort(name, rate);
    return connect(COM);
}

void UsbCommunication::setPort(const std::string& name, UsbTypes::Baudrate rate) {
    std::lock_guard<std::mutex> settings(settingsMutex);
    portName = name;
    baudrate = rate;
}

std::string UsbCommunication::getPortName() {
    std::lock_guard<std::mutex> settings(settingsMutex);
    return portName;
}

UsbTypes::Baudrate UsbCommunication::getBaudrate() {
    std::lock_guard<std::mutex> settings(settingsMutex);
    return baudrate;
}

std::vector<std::string> UsbCommunication::getDeviceList() {
    std::lock_guard<std::mutex> settings(settingsMutex);
    return deviceList;
}

IoResult UsbCommunication::readCom(std::uint8_t* buffer, std::uint64_t size, int timeoutMs, bool logFailure) {
    if (const std::optional<LinkStatus> refused = refusal(getConnectionMethod(), kInputOutputRefusals))
        return {*refused, 0};
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        long long slice = 0;
        if (timeoutMs > 0) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
            const long long left = timeoutMs - elapsed;
            if (left <= 0)
                return {LINK_NO_DATA, 0};
            slice = std::min(left, kReadSliceMs);
        }

        std::uint64_t usedGeneration = 0;
        {
            std::unique_lock<std::mutex> state(stateMutex);
            changed.wait(state, [this] { return !controlling; });
            const ConnectionMethod method = connectionMethod;
            if (method != COM) {
                // Dropped or disconnected by another thread meanwhile: a method that is not COM
                // is always refused.
                state.unlock();
                return {*refusal(method, kInputOutputRefusals), 0};
            }
            if (!portOpen) {
                // A method of COM on a closed port (a failed close or reopen) would answer
                // every read at once with a failure: the link is gone, say so once.
                connectionMethod = NONE;
                state.unlock();
                if (logFailure)
                    logger->log("Receive Error COM", BaseLogger::ERROR, kPrefix);
                return {LINK_READ_FAILED, 0};
            }
            usedGeneration = generation;
            ++portUsers;
        }
        const IoResult r = port->readDataImpl(buffer, size, static_cast<int>(slice));
        {
            std::lock_guard<std::mutex> state(stateMutex);
            if (--portUsers == 0 && controlling)
                changed.notify_all();
        }

        if (r.status == LINK_READ_FAILED) {
            // A serial line that fails a read is gone (hang-up, device removed); trying again
            // every millisecond would only repeat the error.
            if (logFailure)
                logger->log("Receive Error COM", BaseLogger::ERROR, kPrefix);
            logger->log("COM read failed; treating as disconnected", BaseLogger::ERROR, kPrefix);
            dropLink(usedGeneration);
            return r;
        }
        if (r.status != LINK_NO_DATA || timeoutMs <= 0)
            return r;
    }
}

IoResult UsbCommunication::read(void* buffer, std::uint64_t size, int timeoutMs) {
    return readCom(static_cast<std::uint8_t*>(buffer), size, timeoutMs, false);
}

IoResult UsbCommunication::read(void* buffer, std::uint64_t size) {
    return readCom(static_cast<std::uint8_t*>(buffer), size, 1000, true);
}

LinkStatus UsbCommunication::write(const void* data, std::uint64_t size) {
    if (const std::optional<LinkStatus> refused = refusal(getConnectionMethod(), kInputOutputRefusals))
        return *refused;
    const LinkStatus s = writeDataComImpl(static_cast<const std::uint8_t*>(data), size);
    if (s != LINK_OK)
        logger->log("Transmit Error COM", BaseLogger::ERROR, kPrefix);
    return s;
}

bool UsbCommunication::waitForReadyRead(std::uint64_t ms) {
    const auto signedMs = static_cast<std::int64_t>(ms);
    if (signedMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(signedMs));
    return true;
}

LinkStatus UsbCommunication::writeDataComImpl(const std::uint8_t* data, std::uint64_t size) {
    std::lock_guard<std::mutex> oneWriter(writeMutex);
    std::uint64_t usedGeneration = 0;
    {
        std::unique_lock<std::mutex> state(stateMutex);
        changed.wait(state, [this] { return !controlling; });
        if (!portOpen)
            return LINK_WRITE_FAILED;
        usedGeneration = generation;
        ++portUsers;
    }
    const IoResult r = port->writeDataImpl(data, size);
    {
        std::lock_guard<std::mutex> state(stateMutex);
        if (--portUsers == 0 && controlling)
            changed.notify_all();
    }
    if (r.status == LINK_OK && r.count == size)
        return LINK_OK;
    logger->log("COM write failed; treating as disconnected", BaseLogger::ERROR, kPrefix);
    dropLink(usedGeneration);
    return LINK_WRITE_FAILED;
}

void UsbCommunication::dropLink(std::uint64_t usedGeneration) {
    std::lock_guard<std::mutex> control(controlMutex);
    std::unique_lock<std::mutex> state(stateMutex);
    // A reconnect since the failed call has a port of its own that must stay open.
    if (generation != usedGeneration)
        return;
    beginControl(state);
    state.unlock();
    port->closePort();
    state.lock();
    connectionMethod = NONE;
    endControl(state);
}

IoResult UsbCommunication::readDataComImpl(std::uint8_t* buffer, std::uint64_t size) {
    {
        // A closed port (none without a backend) is a plain read failure, whatever the method,
        // and says nothing.
        std::lock_guard<std::mutex> state(stateMutex);
        if (!portOpen)
            return {LINK_READ_FAILED, 0};
    }
    return readCom(buffer, size, 1000, false);
}

LinkStatus UsbCommunication::writeDataUsbImpl(const std::uint8_t*, std::uint64_t) {
    logger->log("libusb doesn't implemented :(... Can't write", BaseLogger::WARNING, kPrefix);
    return LINK_UNAVAILABLE;
}

IoResult UsbCommunication::readDataUsbImpl(std::uint8_t*, std::uint64_t) {
    logger->log("libusb doesn't implemented :(... Can't read", BaseLogger::WARNING, kPrefix);
    return {LINK_UNAVAILABLE, 0};
}
