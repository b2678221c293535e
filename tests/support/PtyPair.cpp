#include "tests/support/PtyPair.h"

#include "tests/support/Eventually.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace tavisk::test {

namespace {
int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, INT_MAX)) : 0;
}

std::runtime_error failure(const std::string& what) {
    return std::runtime_error("PtyPair: " + what + ": " + std::strerror(errno));
}
} // namespace

PtyPair::PtyPair() {
    char tmpl[] = "/tmp/tavisk-pty-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        throw failure("mkdtemp");
    folder = tmpl;
    link = folder + "/tty";
    open();
}

PtyPair::~PtyPair() {
    close();
    ::unlink(link.c_str());
    ::rmdir(folder.c_str());
}

void PtyPair::open() {
    termios raw{};
    ::cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    char name[PATH_MAX] = {};
    if (::openpty(&master, &slaveHold, name, &raw, nullptr) != 0)
        throw failure("openpty");
    slave = name;
    ::tcsetattr(master, TCSANOW, &raw);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slaveHold, F_SETFD, FD_CLOEXEC);

    // Replace the link in one step, so that it never names nothing.
    const std::string fresh = link + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(slave.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0)
        throw failure("symlink");
}

void PtyPair::close() {
    if (slaveHold >= 0)
        ::close(slaveHold);
    if (master >= 0)
        ::close(master);
    slaveHold = master = -1;
}

void PtyPair::hangUp() {
    // Closing the master hangs up every descriptor on the slave; the slave's number stays in
    // use while the code under test holds it, so the new pair gets another.
    close();
    open();
}

bool PtyPair::write(const std::vector<std::uint8_t>& bytes, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{master, POLLOUT, 0};
        if (::poll(&p, 1, millisecondsLeft(end)) == 0)
            return false;
    }
    return true;
}

bool PtyPair::write(const std::string& bytes, std::chrono::milliseconds deadline) {
    return write(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), deadline);
}

std::vector<std::uint8_t> PtyPair::read(std::size_t max, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::vector<std::uint8_t> out(max);
    for (;;) {
        const ssize_t n = ::read(master, out.data(), max);
        if (n > 0) {
            out.resize(static_cast<std::size_t>(n));
            return out;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        const int left = millisecondsLeft(end);
        if (left == 0)
            break;
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            break;
    }
    return {};
}

std::vector<std::uint8_t> PtyPair::readExactly(std::size_t count, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    std::vector<std::uint8_t> out;
    while (out.size() < count) {
        const int left = millisecondsLeft(end);
        if (left == 0)
            break;
        const std::vector<std::uint8_t> part = read(count - out.size(), std::chrono::milliseconds(left));
        if (part.empty())
            break;
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

bool PtyPair::waitUntilWaiting(std::size_t count, std::chrono::milliseconds deadline) {
    bool failed = false;
    // No event tells when the hand-over is complete; it takes microseconds.
    const bool arrived = tavisk::test::eventually(
        [&] {
            int waiting = 0;
            failed = ::ioctl(slaveHold, FIONREAD, &waiting) != 0;
            return failed || static_cast<std::size_t>(waiting) >= count;
        },
        deadline, std::chrono::milliseconds(1));
    return arrived && !failed;
}

void PtyPair::drain() {
    std::uint8_t sink[4096];
    while (::read(master, sink, sizeof sink) > 0) {
    }
}

} // namespace tavisk::test
