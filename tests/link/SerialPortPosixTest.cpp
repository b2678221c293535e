// The POSIX serial port against a pseudo-terminal whose master the test plays.
#include "link/SerialPortPosix.h"

#include "tests/support/LogCapture.h"
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using tavisk::test::LogCapture;
using tavisk::test::PtyPair;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return v;
}

class SerialPortPosixTest : public ::testing::Test {
protected:
    void openAndConfigure(UsbTypes::Baudrate rate = UsbTypes::BAUD_115200) {
        ASSERT_EQ(port.openPort(pty.slavePath()), LINK_OK);
        ASSERT_TRUE(port.serialPortConfig(rate));
    }

    LogCapture log;
    PtyPair pty;
    SerialPortPosix port;
};

TEST_F(SerialPortPosixTest, ConfiguresEveryListedRateAndFallsBackTo115200) {
    struct Case {
        std::uint32_t requested;
        speed_t applied;
    };
    const Case cases[] = {{57600, B57600},     {115200, B115200}, {230400, B230400}, {460800, B460800},
                          {500000, B500000},   {576000, B576000}, {921600, B921600}, {1000000, B1000000},
                          {2000000, B2000000}, {9600, B115200}};
    ASSERT_EQ(port.openPort(pty.slavePath()), LINK_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        log.clear();
        ASSERT_TRUE(port.serialPortConfig(static_cast<UsbTypes::Baudrate>(c.requested)));
        EXPECT_EQ(log.count("SerialPort: Set baudrate: " + std::to_string(c.requested), BaseLogger::INFO),
                  1u);
        // The master of a pseudo-terminal reports the slave's settings.
        termios tio{};
        ASSERT_EQ(::tcgetattr(pty.masterFd(), &tio), 0);
        EXPECT_EQ(::cfgetospeed(&tio), c.applied);
        EXPECT_EQ(::cfgetispeed(&tio), c.applied);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    }
    log.clear();
    port.verifyPortSettings();
    EXPECT_TRUE(log.contains("Current port settings: BaudRate=115200, ByteSize=8, Parity=0, StopBits=0"));
}

TEST_F(SerialPortPosixTest, ClosedPortRefusesEverythingQuietlyExceptConfiguration) {
    std::uint8_t buf[8] = {};
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.closePort(), LINK_OK);
    EXPECT_EQ(port.readDataImpl(buf, sizeof buf, 0).status, LINK_READ_FAILED);
    EXPECT_EQ(port.writeDataImpl(buf, sizeof buf).status, LINK_WRITE_FAILED);
    port.verifyPortSettings();
    EXPECT_TRUE(log.lines().empty());

    port.speedConfig(UsbTypes::BAUD_921600);
    log.clear();
    EXPECT_FALSE(port.serialPortConfig(UsbTypes::BAUD_57600));
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"SerialPort: serialPortConfig called with unopened port"});
    EXPECT_EQ(port.appliedBaud(), 921600u);
}

TEST_F(SerialPortPosixTest, OpenFailureIsLoggedWithTheSystemTextAndLeavesThePortClosed) {
    openAndConfigure();
    log.clear();
    EXPECT_EQ(port.openPort("/nonexistent/ttyUSB9"), LINK_OPEN_FAILED);
    EXPECT_FALSE(port.isOpen()); // the earlier port was closed first
    EXPECT_EQ(
        log.count("SerialPort: Error opening port /nonexistent/ttyUSB9 (open err=2: ", BaseLogger::ERROR),
        1u);
    // The failed name is kept: a write failure later names it.
    EXPECT_EQ(port.openPort(pty.slavePath()), LINK_OK);
}

TEST_F(SerialPortPosixTest, NameWithoutSlashIsLookedUpUnderDev) {
    const std::string relative = pty.slavePath().substr(std::string("/dev/").size());
    ASSERT_EQ(port.openPort(relative), LINK_OK);
    ASSERT_TRUE(port.serialPortConfig(UsbTypes::BAUD_115200));
    const std::uint8_t byte = 0x5A;
    EXPECT_EQ(port.writeDataImpl(&byte, 1).count, 1u);
    EXPECT_EQ(pty.readExactly(1), std::vector<std::uint8_t>{0x5A});
}

TEST_F(SerialPortPosixTest, SecondOpenOfTheSamePortIsRefusedUntilTheFirstCloses) {
    openAndConfigure();
    SerialPortPosix other;
    log.clear();
    EXPECT_EQ(other.openPort(pty.slavePath()), LINK_OPEN_FAILED);
    EXPECT_EQ(log.count("SerialPort: Error opening port " + pty.slavePath() + " (", BaseLogger::ERROR), 1u);
    EXPECT_FALSE(other.isOpen());

    EXPECT_EQ(port.closePort(), LINK_OK);
    EXPECT_EQ(other.openPort(pty.slavePath()), LINK_OK);
}

// Runs `body` as a user without privileges (root ignores TIOCEXCL): in a child process that
// drops to "nobody" when the tests run as root. Returns the body's result.
bool asUnprivilegedUser(const std::function<bool()>& body) {
    if (::geteuid() != 0)
        return body();
    const pid_t child = ::fork();
    if (child == 0) {
        const bool ok = ::setgid(65534) == 0 && ::setuid(65534) == 0 && body();
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST_F(SerialPortPosixTest, WithoutPrivilegesTheSecondOpenIsRefusedAndAReopenWorks) {
    ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0666), 0);
    const std::string path = pty.slavePath();
    EXPECT_TRUE(asUnprivilegedUser([&path] {
        SerialPortPosix first;
        SerialPortPosix second;
        const bool firstOpens = first.openPort(path) == LINK_OK;
        const bool secondRefused = second.openPort(path) == LINK_OPEN_FAILED;
        first.closePort();
        // The peer still holds the line: only the port's own close can lift the exclusion.
        const bool reopens = first.openPort(path) == LINK_OK;
        return firstOpens && secondRefused && reopens;
    }));
}

// A descriptor of the test's own on the slave side: the exclusive flag is the slave
// terminal's, and only a descriptor of it reports the flag.
class SlaveView {
public:
    explicit SlaveView(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~SlaveView() {
        if (fd >= 0)
            ::close(fd);
    }
    SlaveView(const SlaveView&) = delete;
    SlaveView& operator=(const SlaveView&) = delete;
    int descriptor() const { return fd; }
    bool exclusive() const {
        int flag = 0;
        return ::ioctl(fd, TIOCGEXCL, &flag) == 0 && flag != 0;
    }

private:
    int fd;
};

// Settings a terminal might have before the port takes it: a cooked line at 9600 baud (a
// pseudo-terminal keeps 8 bits without parity whatever it is asked).
termios cookedSettings(int fd) {
    termios tio{};
    ::tcgetattr(fd, &tio);
    tio.c_iflag |= ICRNL | IXON;
    tio.c_oflag |= OPOST | ONLCR;
    tio.c_lflag |= ICANON | ECHO | ISIG;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 5;
    ::cfsetspeed(&tio, B9600);
    return tio;
}

::testing::AssertionResult sameSettings(const termios& expected, const termios& actual) {
    std::string differences;
    if (expected.c_iflag != actual.c_iflag)
        differences += " c_iflag";
    if (expected.c_oflag != actual.c_oflag)
        differences += " c_oflag";
    if (expected.c_cflag != actual.c_cflag)
        differences += " c_cflag";
    if (expected.c_lflag != actual.c_lflag)
        differences += " c_lflag";
    if (::cfgetispeed(&expected) != ::cfgetispeed(&actual) ||
        ::cfgetospeed(&expected) != ::cfgetospeed(&actual))
        differences += " speed";
    for (std::size_t i = 0; i < NCCS; ++i)
        if (expected.c_cc[i] != actual.c_cc[i])
            differences += " c_cc[" + std::to_string(i) + "]";
    if (differences.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "differ in" << differences;
}

// However the port lets go of the terminal, the peer (and the next start) finds it as it was
// before the port took it: the settings it had and no exclusive flag.
TEST_F(SerialPortPosixTest, EveryWayOfLettingGoGivesTheTerminalBackAsItWas) {
    struct Case {
        const char* name;
        std::function<void(std::unique_ptr<SerialPortPosix>&)> letGo;
        bool heldAgain; // the port took the terminal again
    };
    const Case cases[] = {
        {"close", [](std::unique_ptr<SerialPortPosix>& p) { EXPECT_EQ(p->closePort(), LINK_OK); }, false},
        {"destruction", [](std::unique_ptr<SerialPortPosix>& p) { p.reset(); }, false},
        // Opening again closes first; the new open reads the settings that close gave back.
        {"reopen",
         [this](std::unique_ptr<SerialPortPosix>& p) { EXPECT_EQ(p->openPort(pty.slavePath()), LINK_OK); },
         true},
        // The crash path: the port stays open, but the line is released.
        {"release for a crash", [](std::unique_ptr<SerialPortPosix>&) { releaseOpenSerialPorts(); }, false},
    };
    SlaveView slave(pty.slavePath());
    ASSERT_GE(slave.descriptor(), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const termios cooked = cookedSettings(pty.masterFd());
        ASSERT_EQ(::tcsetattr(pty.masterFd(), TCSANOW, &cooked), 0) << std::strerror(errno);
        termios before{};
        ASSERT_EQ(::tcgetattr(pty.masterFd(), &before), 0);
        auto owner = std::make_unique<SerialPortPosix>();
        ASSERT_EQ(owner->openPort(pty.slavePath()), LINK_OK);
        ASSERT_TRUE(owner->serialPortConfig(UsbTypes::BAUD_921600));
        termios configured{};
        ASSERT_EQ(::tcgetattr(pty.masterFd(), &configured), 0);
        ASSERT_FALSE(sameSettings(before, configured));
        EXPECT_TRUE(slave.exclusive());

        c.letGo(owner);
        termios after{};
        ASSERT_EQ(::tcgetattr(pty.masterFd(), &after), 0);
        EXPECT_TRUE(sameSettings(before, after));
        EXPECT_EQ(slave.exclusive(), c.heldAgain);
        owner.reset();
        EXPECT_FALSE(slave.exclusive());
    }
}

// Another holder's lock refuses the open before the port changes anything of the terminal:
// no exclusive flag is left behind to keep that holder's peers out.
TEST_F(SerialPortPosixTest, AnOpenRefusedByAnotherHoldersLockLeavesTheTerminalAlone) {
    SlaveView holder(pty.slavePath());
    ASSERT_GE(holder.descriptor(), 0);
    ASSERT_EQ(::flock(holder.descriptor(), LOCK_EX | LOCK_NB), 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.masterFd(), &before), 0);

    EXPECT_EQ(port.openPort(pty.slavePath()), LINK_OPEN_FAILED);
    EXPECT_EQ(log.count("SerialPort: Error opening port " + pty.slavePath() + " (flock err=11: ",
                        BaseLogger::ERROR),
              1u);
    EXPECT_FALSE(holder.exclusive());
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.masterFd(), &after), 0);
    EXPECT_TRUE(sameSettings(before, after));
}

TEST_F(SerialPortPosixTest, ReadReturnsWhatIsWaitingAtMostTheAskedSize) {
    openAndConfigure();
    struct Case {
        std::size_t sent;
        std::vector<std::uint64_t> reads; // counts of successive reads of up to 256 bytes
    };
    const Case cases[] = {{10, {10}}, {256, {256}}, {300, {256, 44}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        const auto sent = pattern(c.sent);
        ASSERT_TRUE(pty.write(sent));
        ASSERT_TRUE(pty.waitUntilWaiting(c.sent));
        std::vector<std::uint8_t> got;
        for (std::uint64_t expected : c.reads) {
            std::uint8_t buf[256];
            const IoResult r = port.readDataImpl(buf, sizeof buf, 0);
            ASSERT_EQ(r.status, LINK_OK);
            EXPECT_EQ(r.count, expected);
            got.insert(got.end(), buf, buf + r.count);
        }
        EXPECT_EQ(got, sent);
        std::uint8_t buf[256];
        EXPECT_EQ(port.readDataImpl(buf, sizeof buf, 0).status, LINK_NO_DATA);
    }
    EXPECT_TRUE(log.count("", BaseLogger::ERROR) == 0);
}

TEST_F(SerialPortPosixTest, SilentLineGivesNoDataAfterTheTimeout) {
    openAndConfigure();
    for (int timeoutMs : {0, -5, 150}) {
        SCOPED_TRACE(timeoutMs);
        std::uint8_t buf[16];
        const auto start = Clock::now();
        const IoResult r = port.readDataImpl(buf, sizeof buf, timeoutMs);
        EXPECT_EQ(r.status, LINK_NO_DATA);
        EXPECT_EQ(r.count, 0u);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(std::max(timeoutMs, 0)));
    }
    EXPECT_TRUE(log.count("", BaseLogger::ERROR) == 0);
}

TEST_F(SerialPortPosixTest, DataArrivingMidWaitEndsTheReadAtOnce) {
    openAndConfigure();
    std::thread peer([this] {
        std::this_thread::sleep_for(50ms);
        pty.write("late");
    });
    std::uint8_t buf[16];
    const auto start = Clock::now();
    const IoResult r = port.readDataImpl(buf, sizeof buf, 60000);
    const auto waited = Clock::now() - start;
    peer.join();
    ASSERT_EQ(r.status, LINK_OK);
    EXPECT_EQ(std::string(buf, buf + r.count), std::string("late").substr(0, r.count));
    EXPECT_LT(waited, 30s); // far below the timeout: woken by the data, not by the clock
}

TEST_F(SerialPortPosixTest, WriteDeliversEveryByte) {
    openAndConfigure(UsbTypes::BAUD_921600);
    const auto data = pattern(3000);
    const IoResult r = port.writeDataImpl(data.data(), data.size());
    EXPECT_EQ(r.status, LINK_OK);
    EXPECT_EQ(r.count, data.size());
    EXPECT_EQ(pty.readExactly(data.size()), data);
}

TEST_F(SerialPortPosixTest, WriteThatCannotFinishReportsTheShortCount) {
    openAndConfigure();
    // Nobody reads the master: the line fills up and the 2000 ms bound ends the write.
    const auto data = pattern(4 << 20);
    const IoResult r = port.writeDataImpl(data.data(), data.size());
    EXPECT_EQ(r.status, LINK_OK);
    EXPECT_LT(r.count, data.size());
    EXPECT_EQ(log.count("SerialPort: Partial write: " + std::to_string(r.count) + " of " +
                            std::to_string(data.size()) + " bytes",
                        BaseLogger::WARNING),
              1u);
}

TEST_F(SerialPortPosixTest, HangUpFailsReadsAndWrites) {
    openAndConfigure();
    const std::string port_name = pty.slavePath();
    pty.hangUp();
    std::uint8_t buf[16] = {};
    EXPECT_EQ(port.readDataImpl(buf, sizeof buf, 5000).status, LINK_READ_FAILED);
    EXPECT_EQ(log.count("SerialPort: read failed", BaseLogger::ERROR), 1u);

    const IoResult w = port.writeDataImpl(buf, sizeof buf);
    EXPECT_EQ(w.status, LINK_WRITE_FAILED);
    EXPECT_EQ(w.count, 0u);
    EXPECT_EQ(log.count("SerialPort: write failed (err=5) on " + port_name + ": Input/output error",
                        BaseLogger::ERROR),
              1u);
    EXPECT_EQ(port.closePort(), LINK_OK);
    EXPECT_FALSE(port.isOpen());
}

TEST_F(SerialPortPosixTest, HangUpDuringAWaitEndsTheRead) {
    openAndConfigure();
    std::thread peer([this] {
        std::this_thread::sleep_for(50ms);
        pty.hangUp();
    });
    std::uint8_t buf[16];
    const IoResult r = port.readDataImpl(buf, sizeof buf, 60000);
    peer.join();
    EXPECT_EQ(r.status, LINK_READ_FAILED);
}

// A folder that stands in for /dev and /sys/class/tty.
class PortFolder {
public:
    PortFolder() {
        char tmpl[] = "/tmp/tavisk-dev-XXXXXX";
        root = ::mkdtemp(tmpl);
        dev = root + "/dev";
        sys = root + "/sys";
        ::mkdir(dev.c_str(), 0700);
        ::mkdir(sys.c_str(), 0700);
    }
    ~PortFolder() { std::system(("rm -rf '" + root + "'").c_str()); }
    void node(const std::string& name) {
        ::close(::open((dev + "/" + name).c_str(), O_CREAT | O_WRONLY, 0600));
    }
    void driver(const std::string& name) {
        ::mkdir((sys + "/" + name).c_str(), 0700);
        ::mkdir((sys + "/" + name + "/device").c_str(), 0700);
    }
    std::string root, dev, sys;
};

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name(name) {
        if (const char* old = std::getenv(name))
            previous = old, hadPrevious = true;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (hadPrevious)
            ::setenv(name, previous.c_str(), 1);
        else
            ::unsetenv(name);
    }

private:
    const char* name;
    std::string previous;
    bool hadPrevious = false;
};

TEST(SerialPortPosixDiscovery, ListsAdaptersAndDrivenUartsInNaturalOrderThenNamedPaths) {
    LogCapture log;
    PortFolder folder;
    for (const char* name :
         {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "ttyS1", "ttyS12", "tty0", "console", "ttyprintk"})
        folder.node(name);
    folder.driver("ttyS0");
    folder.driver("ttyS12");
    folder.driver("tty0");

    PtyPair pty;
    // Named as the port would be opened: a name without a leading "/" lies under /dev.
    PtyPair underDev;
    const std::string relative = underDev.slavePath().substr(std::string("/dev/").size());
    const ScopedEnv env("TAVISK_SERIAL_PORTS", ":" + pty.slavePath() + ":/nonexistent/pts/77:" + folder.dev +
                                                   "/ttyACM0:" + relative + ":pts/nonexistent");
    SerialPortPosix port(folder.dev, folder.sys);
    const std::string d = folder.dev + "/";
    EXPECT_EQ(port.getAvailablePorts(),
              (std::vector<std::string>{d + "ttyACM0", d + "ttyS0", d + "ttyS12", d + "ttyUSB2",
                                        d + "ttyUSB10", pty.slavePath(), underDev.slavePath()}));
}

// Only a character device is a serial port, and a name without a leading "/" stays in /dev:
// everything else named in TAVISK_SERIAL_PORTS is skipped with a DEBUG line that says why.
TEST(SerialPortPosixDiscovery, NamedPathsAreListedOnlyAsCharacterDevicesInsideDev) {
    LogCapture log;
    PortFolder folder;
    const std::string file = folder.root + "/plain-file";
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    const std::string fifo = folder.root + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Through /dev/fd, a name under /dev that resolves to a FIFO outside it.
    const int fifoFd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fifoFd, 0);
    PtyPair pty;
    struct Case {
        std::string name;
        std::string why;
    };
    const Case cases[] = {
        {file, "a regular file, not a serial port"},
        {fifo, "a FIFO, not a serial port"},
        {folder.dev, "a folder, not a serial port"},
        {"/nonexistent/pts/77", "stat err=2: "},
        {"null/../.." + file, "a name without a leading \"/\" must not leave /dev"},
        {"../etc/passwd", "a name without a leading \"/\" must not leave /dev"},
        {"fd/" + std::to_string(fifoFd), "resolves to " + fifo + ", outside /dev"},
    };
    std::string list = pty.slavePath();
    for (const Case& c : cases)
        list += ":" + c.name;
    const ScopedEnv env("TAVISK_SERIAL_PORTS", list);
    SerialPortPosix port(folder.dev, folder.sys);
    EXPECT_EQ(port.getAvailablePorts(), std::vector<std::string>{pty.slavePath()});
    for (const Case& c : cases)
        EXPECT_EQ(
            log.count("SerialPort: TAVISK_SERIAL_PORTS: " + c.name + " skipped (" + c.why, BaseLogger::DEBUG),
            1u)
            << c.name;
    ::close(fifoFd);
}

// Opening checks the same: a file is never opened as a port, nor is a path out of /dev.
TEST(SerialPortPosixOpen, OnlyCharacterDevicesInsideDevAreOpened) {
    LogCapture log;
    PortFolder folder;
    const std::string file = folder.root + "/plain-file";
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    struct Case {
        std::string name;
        std::string why;
    };
    const Case cases[] = {
        {file, "a regular file, not a serial port"},
        {"null/../.." + file, "a name without a leading \"/\" must not leave /dev"},
    };
    SerialPortPosix port;
    for (const Case& c : cases) {
        EXPECT_EQ(port.openPort(c.name), LINK_OPEN_FAILED) << c.name;
        EXPECT_FALSE(port.isOpen());
        EXPECT_EQ(
            log.count("SerialPort: Error opening port " + c.name + " (" + c.why + ")", BaseLogger::ERROR), 1u)
            << c.name;
    }
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST(SerialPortPosixDiscovery, MissingFolderGivesAnEmptyList) {
    LogCapture log;
    const ScopedEnv env("TAVISK_SERIAL_PORTS", "");
    SerialPortPosix port("/nonexistent/dev", "/nonexistent/sys");
    EXPECT_TRUE(port.getAvailablePorts().empty());
}

} // namespace
