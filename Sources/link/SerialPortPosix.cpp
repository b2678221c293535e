#include "link/SerialPortPosix.h"

#include "core/LoggerManager.h"
#include "link/SerialPortHelpers.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {
const std::string kPrefix = "SerialPort: ";
constexpr int kWriteDeadlineMs = 2000;

std::string systemError(int code) {
    return std::to_string(code) + ": " + std::strerror(code);
}

// termios names each rate's speed constant after the rate.
bool speedFor(std::uint32_t rate, speed_t& speed) {
    switch (rate) {
#define TAVISK_SPEED_CASE(rate)                                                                              \
    case rate:                                                                                               \
        speed = B##rate;                                                                                     \
        return true;
        TAVISK_BAUDRATES(TAVISK_SPEED_CASE)
#undef TAVISK_SPEED_CASE
    default:
        return false;
    }
}

std::uint32_t rateOf(speed_t speed) {
    for (std::uint32_t rate : UsbTypes::kBaudrates) {
        speed_t s;
        if (speedFor(rate, s) && s == speed)
            return rate;
    }
    return 0;
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// What a path is, for the line that says why it is not a serial port.
std::string kindOf(mode_t mode) {
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISBLK(mode))
        return "a block device";
    return "not a character device";
}

// The path with every link resolved; empty when it cannot be resolved (it does not exist).
std::string resolved(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return {};
    std::string result = real;
    std::free(real);
    return result;
}

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The ports this process has open, for releaseOpenSerialPorts(), which runs in a signal
// handler on any thread and so reads them without a lock. An entry is claimed by a
// compare-exchange from kFreeEntry, filled, then published by storing the descriptor; it is
// freed before the descriptor is closed, so the handler never touches a descriptor number
// that may already name another file.
constexpr int kFreeEntry = -1;
constexpr int kClaimedEntry = -2;
struct OpenPortEntry {
    std::atomic<int> fd{kFreeEntry};
    termios settings{};
    bool restore = false;
};
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers may use only lock-free atomics");
// The program opens one port at a time; a port beyond the table works without the release.
OpenPortEntry gOpenPorts[8];

int publishOpenPort(int fd, const termios& settings, bool restore) {
    for (int i = 0; i < static_cast<int>(std::size(gOpenPorts)); ++i) {
        int expected = kFreeEntry;
        if (gOpenPorts[i].fd.compare_exchange_strong(expected, kClaimedEntry)) {
            gOpenPorts[i].settings = settings;
            gOpenPorts[i].restore = restore;
            gOpenPorts[i].fd.store(fd);
            return i;
        }
    }
    return -1;
}

void withdrawOpenPort(int entry) {
    if (entry >= 0)
        gOpenPorts[entry].fd.store(kFreeEntry);
}
} // namespace

void releaseOpenSerialPorts() noexcept {
    for (OpenPortEntry& entry : gOpenPorts) {
        const int fd = entry.fd.load();
        if (fd < 0)
            continue;
        if (entry.restore)
            ::tcsetattr(fd, TCSANOW, &entry.settings);
        ::ioctl(fd, TIOCNXCL);
    }
}

SerialPortPosix::SerialPortPosix(std::string devDirectory, std::string sysTtyDirectory)
    : logger(&LoggerManager::getInstance()), devDir(std::move(devDirectory)),
      sysTtyDir(std::move(sysTtyDirectory)) {}

SerialPortPosix::~SerialPortPosix() {
    closePort();
}

void SerialPortPosix::logError(const std::string& text) {
    logger->log(text, BaseLogger::ERROR, kPrefix);
}

std::string SerialPortPosix::normalizePortName(const std::string& name) {
    return SerialPortHelpers::posixDevicePath(name);
}

std::string SerialPortPosix::devicePath(const std::string& name, std::string& refusal) {
    const std::string path = normalizePortName(name);
    if (!name.empty() && name[0] == '/')
        return path;
    if (SerialPortHelpers::leavesDevFolder(name)) {
        refusal = "a name without a leading \"/\" must not leave /dev";
        return {};
    }
    // A link below /dev may point anywhere (/dev/stdin, /dev/fd/...). A path that does not
    // resolve does not exist: opening it fails on its own.
    const std::string real = resolved(path);
    const std::string dev = resolved("/dev");
    if (!real.empty() && real.rfind(dev + "/", 0) != 0) {
        refusal = "resolves to " + real + ", outside /dev";
        return {};
    }
    return path;
}

std::vector<std::string> SerialPortPosix::getAvailablePorts() {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(devDir.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (startsWith(name, "ttyUSB") || startsWith(name, "ttyACM"))
                names.push_back(name);
            // Most ttyS nodes exist whether or not a UART stands behind them.
            else if (startsWith(name, "ttyS") && exists(sysTtyDir + "/" + name + "/device"))
                names.push_back(name);
        }
        ::closedir(dir);
    }
    SerialPortHelpers::sortNatural(names);

    std::vector<std::string> ports;
    for (const std::string& name : names)
        ports.push_back(devDir + "/" + name);
    if (const char* extra = std::getenv("TAVISK_SERIAL_PORTS")) {
        // A name without a leading "/" is opened under /dev: look for it there too, and list it
        // as that full path. Only a character device can be a serial port.
        for (const std::string& name : SerialPortHelpers::splitPathList(extra)) {
            std::string refusal;
            const std::string path = devicePath(name, refusal);
            struct stat st {};
            if (refusal.empty() && ::stat(path.c_str(), &st) != 0)
                refusal = "stat err=" + systemError(errno);
            else if (refusal.empty() && !S_ISCHR(st.st_mode))
                refusal = kindOf(st.st_mode) + ", not a serial port";
            if (!refusal.empty())
                logger->log("TAVISK_SERIAL_PORTS: " + name + " skipped (" + refusal + ")", BaseLogger::DEBUG,
                            kPrefix);
            else if (std::find(ports.begin(), ports.end(), path) == ports.end())
                ports.push_back(path);
        }
    }
    return ports;
}

LinkStatus SerialPortPosix::openPort(const std::string& name) {
    closePort();
    portName = name;
    std::string refusal;
    const std::string path = devicePath(name, refusal);
    if (path.empty()) {
        logError("Error opening port " + name + " (" + refusal + ")");
        return LINK_OPEN_FAILED;
    }

    const int opened = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (opened < 0) {
        logError("Error opening port " + name + " (open err=" + systemError(errno) + ")");
        return LINK_OPEN_FAILED;
    }
    // Whatever the name, only a character device is a serial port: a file is never written.
    struct stat st {};
    if (::fstat(opened, &st) != 0 || !S_ISCHR(st.st_mode)) {
        ::close(opened);
        logError("Error opening port " + name + " (" + kindOf(st.st_mode) + ", not a serial port)");
        return LINK_OPEN_FAILED;
    }
    // The lock comes first: it covers root as well, and when it fails nothing of the terminal
    // has been changed yet (an exclusive flag set before it would outlive this failed open).
    if (::flock(opened, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(opened);
        logError("Error opening port " + name + " (flock err=" + systemError(code) + ")");
        return LINK_OPEN_FAILED;
    }
    restoreSettings = ::tcgetattr(opened, &openedSettings) == 0;
    // Entered before the flag is set, so that a crash from here on lifts it again.
    record = publishOpenPort(opened, openedSettings, restoreSettings);
    // TIOCEXCL keeps other users out, except root.
    if (::ioctl(opened, TIOCEXCL) != 0 && errno != ENOTTY) {
        const int code = errno;
        withdrawOpenPort(record);
        record = -1;
        ::flock(opened, LOCK_UN);
        ::close(opened);
        logError("Error opening port " + name + " (ioctl TIOCEXCL err=" + systemError(code) + ")");
        return LINK_OPEN_FAILED;
    }
    fd = opened;
    ::tcflush(fd, TCIOFLUSH);
    return LINK_OK;
}

LinkStatus SerialPortPosix::closePort() {
    if (fd < 0)
        return LINK_OK;
    const int closing = fd;
    fd = -1;
    // Without a drain: a line that does not move would hold the close for ever.
    if (restoreSettings)
        ::tcsetattr(closing, TCSANOW, &openedSettings);
    // The exclusive flag belongs to the terminal, not to this descriptor: a peer that keeps
    // the line open (a pseudo-terminal) would otherwise keep every later open out.
    ::ioctl(closing, TIOCNXCL);
    ::flock(closing, LOCK_UN);
    withdrawOpenPort(record);
    record = -1;
    if (::close(closing) != 0 && errno != EINTR) {
        logError("Error closing port (close err=" + systemError(errno) + ")");
        return LINK_CLOSE_FAILED;
    }
    return LINK_OK;
}

bool SerialPortPosix::isOpen() const {
    return fd >= 0;
}

void SerialPortPosix::speedConfig(UsbTypes::Baudrate rate) {
    baud = SerialPortHelpers::appliedRate(rate);
    logger->log("Set baudrate: " + std::to_string(static_cast<std::int32_t>(rate)), BaseLogger::INFO,
                kPrefix);
}

bool SerialPortPosix::serialPortConfig(UsbTypes::Baudrate rate) {
    if (fd < 0) {
        logError("serialPortConfig called with unopened port");
        return false;
    }
    speedConfig(rate);

    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        logError("tcgetattr failed (err=" + systemError(errno) + ")");
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    speed_t speed = B115200;
    speedFor(baud, speed);
    if (::cfsetspeed(&tio, speed) != 0 || ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        logError("tcsetattr failed (err=" + systemError(errno) + ")");
        return false;
    }
    // tcsetattr succeeds when any one change took: read back what the driver really applied.
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0) {
        logError("tcgetattr failed (err=" + systemError(errno) + ")");
        return false;
    }
    if (::cfgetospeed(&applied) != speed || ::cfgetispeed(&applied) != speed ||
        (applied.c_cflag & CSIZE) != CS8 || (applied.c_cflag & (PARENB | CSTOPB | CRTSCTS)) != 0) {
        logError("tcsetattr failed (the driver did not apply " + std::to_string(baud) + " 8N1)");
        return false;
    }
    // A pseudo-terminal has no modem lines and answers ENOTTY or EINVAL.
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (::ioctl(fd, TIOCMBIS, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
        logError("ioctl TIOCMBIS failed (err=" + systemError(errno) + ")");
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    return true;
}

void SerialPortPosix::verifyPortSettings() {
    termios tio{};
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0)
        return;
    const tcflag_t size = tio.c_cflag & CSIZE;
    const int byteSize = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    // Parity and stop bits as the Win32 codes: 0 none, 1 odd, 2 even; 0 one stop bit, 2 two.
    const int parity = (tio.c_cflag & PARENB) == 0 ? 0 : (tio.c_cflag & PARODD) != 0 ? 1 : 2;
    const int stopBits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 0;
    logger->log("Current port settings: BaudRate=" + std::to_string(rateOf(::cfgetospeed(&tio))) +
                    ", ByteSize=" + std::to_string(byteSize) + ", Parity=" + std::to_string(parity) +
                    ", StopBits=" + std::to_string(stopBits),
                BaseLogger::INFO, kPrefix);
}

IoResult SerialPortPosix::readDataImpl(std::uint8_t* buffer, std::uint64_t size, int timeoutMs) {
    if (fd < 0)
        return {LINK_READ_FAILED, 0};
    if (size == 0)
        return {LINK_NO_DATA, 0};
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, millisecondsLeft(deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            logError("poll failed (err=" + systemError(errno) + ")");
            return {LINK_READ_FAILED, 0};
        }
        if (ready == 0)
            return {LINK_NO_DATA, 0};
        if ((p.revents & POLLNVAL) != 0) {
            logError("poll failed (descriptor not open)");
            return {LINK_READ_FAILED, 0};
        }
        // Take what is waiting now, at most `size`; a hung-up line reads as end of file or EIO.
        int waiting = 0;
        if (::ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0)
            waiting = 0;
        const std::uint64_t want =
            waiting > 0 ? std::min<std::uint64_t>(static_cast<std::uint64_t>(waiting), size) : size;
        const ssize_t got = ::read(fd, buffer, want);
        if (got > 0)
            return {LINK_OK, static_cast<std::uint64_t>(got)};
        if (got == 0) {
            logError("read failed (hang-up)");
            return {LINK_READ_FAILED, 0};
        }
        if (errno != EAGAIN && errno != EINTR) {
            logError("read failed (err=" + systemError(errno) + ")");
            return {LINK_READ_FAILED, 0};
        }
        if ((p.revents & (POLLHUP | POLLERR)) != 0) {
            logError("read failed (hang-up)");
            return {LINK_READ_FAILED, 0};
        }
    }
}

IoResult SerialPortPosix::writeDataImpl(const std::uint8_t* data, std::uint64_t size) {
    if (fd < 0)
        return {LINK_WRITE_FAILED, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteDeadlineMs);
    std::uint64_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n > 0) {
            written += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            const int code = errno;
            std::string text = "write failed (err=" + std::to_string(code) + ")";
            if (!portName.empty())
                text += " on " + portName;
            logError(text + ": " + std::strerror(code));
            return {LINK_WRITE_FAILED, 0};
        }
        const int left = millisecondsLeft(deadline);
        if (left == 0)
            break;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, left) < 0 && errno != EINTR) {
            logError("poll failed (err=" + systemError(errno) + ")");
            return {LINK_WRITE_FAILED, 0};
        }
    }
    if (written < size)
        logger->log("Partial write: " + std::to_string(written) + " of " + std::to_string(size) + " bytes",
                    BaseLogger::WARNING, kPrefix);
    return {LINK_OK, written};
}

std::unique_ptr<SerialPort> createSerialPort() {
    return std::make_unique<SerialPortPosix>();
}
