#include "link/SerialPortWindows.h"

#include "core/LoggerManager.h"
#include "link/SerialPortHelpers.h"

#include <windows.h>

#include <algorithm>
#include <chrono>

namespace {
const std::string kPrefix = "SerialPort: ";

std::string code(DWORD error) {
    return std::to_string(error);
}

// The system's text for an error code, without the line break it ends with.
std::string systemText(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (length != 0 && text != nullptr)
        result.assign(text, length);
    if (text != nullptr)
        LocalFree(text);
    while (!result.empty() && (result.back() == '\r' || result.back() == '\n'))
        result.pop_back();
    return result;
}
} // namespace

SerialPortWindows::SerialPortWindows()
    : logger(&LoggerManager::getInstance()), handle(INVALID_HANDLE_VALUE) {}

SerialPortWindows::~SerialPortWindows() {
    closePort();
}

void SerialPortWindows::logError(const std::string& text) {
    logger->log(text, BaseLogger::ERROR, kPrefix);
}

std::string SerialPortWindows::normalizePortName(const std::string& name) {
    return SerialPortHelpers::windowsDevicePath(name);
}

std::vector<std::string> SerialPortWindows::getAvailablePorts() {
    std::vector<std::string> names;
    char target[512];
    for (int n = 1; n <= 256; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0)
            names.push_back(name);
    }
    SerialPortHelpers::sortComNames(names);
    return names;
}

LinkStatus SerialPortWindows::openPort(const std::string& name) {
    closePort();
    const std::string path = normalizePortName(name);
    portName = name;
    handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        logError("Error opening port " + name + " (CreateFileA err=" + code(GetLastError()) + ")");
        return LINK_OPEN_FAILED;
    }
    SetupComm(handle, 4096, 4096);
    PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    return LINK_OK;
}

LinkStatus SerialPortWindows::closePort() {
    if (handle == INVALID_HANDLE_VALUE)
        return LINK_OK;
    const BOOL closed = CloseHandle(handle);
    const DWORD error = GetLastError();
    handle = INVALID_HANDLE_VALUE;
    if (!closed) {
        logError("Error closing port (CloseHandle err=" + code(error) + ")");
        return LINK_CLOSE_FAILED;
    }
    return LINK_OK;
}

bool SerialPortWindows::isOpen() const {
    return handle != INVALID_HANDLE_VALUE;
}

void SerialPortWindows::speedConfig(UsbTypes::Baudrate rate) {
    baud = SerialPortHelpers::appliedRate(rate);
    logger->log("Set baudrate: " + std::to_string(static_cast<std::int32_t>(rate)), BaseLogger::INFO,
                kPrefix);
}

bool SerialPortWindows::serialPortConfig(UsbTypes::Baudrate rate) {
    if (handle == INVALID_HANDLE_VALUE) {
        logError("serialPortConfig called with unopened port");
        return false;
    }
    speedConfig(rate);

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        logError("GetCommState failed (err=" + code(GetLastError()) + ")");
        return false;
    }
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(handle, &dcb)) {
        logError("SetCommState failed (err=" + code(GetLastError()) + ")");
        return false;
    }

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 50;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 2000;
    if (!SetCommTimeouts(handle, &timeouts)) {
        logError("SetCommTimeouts failed (err=" + code(GetLastError()) + ")");
        return false;
    }
    PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    return true;
}

void SerialPortWindows::verifyPortSettings() {
    if (handle == INVALID_HANDLE_VALUE)
        return;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
        return;
    logger->log("Current port settings: BaudRate=" + std::to_string(dcb.BaudRate) +
                    ", ByteSize=" + std::to_string(dcb.ByteSize) + ", Parity=" + std::to_string(dcb.Parity) +
                    ", StopBits=" + std::to_string(dcb.StopBits),
                BaseLogger::INFO, kPrefix);
}

IoResult SerialPortWindows::readDataImpl(std::uint8_t* buffer, std::uint64_t size, int timeoutMs) {
    if (handle == INVALID_HANDLE_VALUE)
        return {LINK_READ_FAILED, 0};
    const auto start = std::chrono::steady_clock::now();
    DWORD waiting = 0;
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle, &errors, &status)) {
            logError("ClearCommError failed (err=" + code(GetLastError()) + ")");
            return {LINK_READ_FAILED, 0};
        }
        waiting = status.cbInQue;
        if (waiting > 0)
            break;
        if (timeoutMs <= 0)
            return {LINK_NO_DATA, 0};
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        if (elapsed >= timeoutMs)
            return {LINK_NO_DATA, 0};
        Sleep(1);
    }

    const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(waiting, size));
    DWORD got = 0;
    if (!ReadFile(handle, buffer, want, &got, nullptr)) {
        logError("ReadFile failed (err=" + code(GetLastError()) + ")");
        return {LINK_READ_FAILED, 0};
    }
    if (got == 0)
        return {LINK_NO_DATA, 0};
    return {LINK_OK, got};
}

IoResult SerialPortWindows::writeDataImpl(const std::uint8_t* data, std::uint64_t size) {
    if (handle == INVALID_HANDLE_VALUE)
        return {LINK_WRITE_FAILED, 0};
    DWORD written = 0;
    if (!WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr)) {
        const DWORD error = GetLastError();
        std::string text = "WriteFile failed (err=" + code(error) + ")";
        if (!portName.empty())
            text += " on " + portName;
        const std::string message = systemText(error);
        if (!message.empty())
            text += ": " + message;
        logError(text);
        return {LINK_WRITE_FAILED, 0};
    }
    if (written != size)
        logger->log("Partial write: " + std::to_string(written) + " of " + std::to_string(size) + " bytes",
                    BaseLogger::WARNING, kPrefix);
    return {LINK_OK, written};
}

std::unique_ptr<SerialPort> createSerialPort() {
    return std::make_unique<SerialPortWindows>();
}

void releaseOpenSerialPorts() noexcept {}
