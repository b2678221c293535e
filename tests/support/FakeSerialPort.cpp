#include "tests/support/FakeSerialPort.h"

#include <algorithm>
#include <chrono>

namespace tavisk::test {

FakeSerialPort::IoGuard::IoGuard(FakeSerialPort& p) : port(p) {
    ++port.inIo;
    if (!port.isOpen())
        ++port.violations;
}

FakeSerialPort::IoGuard::~IoGuard() {
    --port.inIo;
}

std::vector<std::string> FakeSerialPort::getAvailablePorts() {
    std::lock_guard<std::mutex> lock(mutex);
    return ports;
}

LinkStatus FakeSerialPort::openPort(const std::string& name) {
    closePort();
    std::lock_guard<std::mutex> lock(mutex);
    opens.push_back(name);
    LinkStatus result = openResult;
    if (failOpens > 0) {
        --failOpens;
        result = LINK_OPEN_FAILED;
    }
    open = result == LINK_OK;
    return result;
}

LinkStatus FakeSerialPort::closePort() {
    if (inIo.load() != 0)
        ++violations;
    std::lock_guard<std::mutex> lock(mutex);
    if (open)
        ++closes;
    open = false;
    return closeResult;
}

bool FakeSerialPort::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex);
    return open;
}

bool FakeSerialPort::serialPortConfig(UsbTypes::Baudrate rate) {
    std::lock_guard<std::mutex> lock(mutex);
    configuredRates.push_back(rate);
    return configResult;
}

IoResult FakeSerialPort::writeDataImpl(const std::uint8_t* data, std::uint64_t size) {
    IoGuard guard(*this);
    std::lock_guard<std::mutex> lock(mutex);
    writes.emplace_back(data, data + size);
    if (writeFails)
        return {LINK_WRITE_FAILED, 0};
    return {LINK_OK, writeShort && size > 0 ? size - 1 : size};
}

IoResult FakeSerialPort::readDataImpl(std::uint8_t* buffer, std::uint64_t size, int timeoutMs) {
    IoGuard guard(*this);
    std::unique_lock<std::mutex> lock(mutex);
    ++reads;
    arrived.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                     [this] { return !incoming.empty() || readsFail; });
    if (readsFail)
        return {LINK_READ_FAILED, 0};
    if (incoming.empty())
        return {LINK_NO_DATA, 0};
    Read& next = incoming.front();
    if (next.status != LINK_OK) {
        const LinkStatus status = next.status;
        incoming.pop_front();
        return {status, 0};
    }
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, next.bytes.size()));
    std::copy_n(next.bytes.begin(), n, buffer);
    next.bytes.erase(next.bytes.begin(), next.bytes.begin() + static_cast<long>(n));
    if (next.bytes.empty())
        incoming.pop_front();
    return {LINK_OK, n};
}

void FakeSerialPort::feed(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    incoming.push_back({LINK_OK, Bytes(bytes.begin(), bytes.end())});
    arrived.notify_all();
}

void FakeSerialPort::script(std::deque<Read> answers) {
    std::lock_guard<std::mutex> lock(mutex);
    incoming = std::move(answers);
    arrived.notify_all();
}

void FakeSerialPort::failReads() {
    std::lock_guard<std::mutex> lock(mutex);
    readsFail = true;
    arrived.notify_all();
}

FakeSerialPort::Bytes FakeSerialPort::written() const {
    std::lock_guard<std::mutex> lock(mutex);
    Bytes all;
    for (const Bytes& w : writes)
        all.insert(all.end(), w.begin(), w.end());
    return all;
}

} // namespace tavisk::test
