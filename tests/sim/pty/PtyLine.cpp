#include "tests/sim/pty/PtyLine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace tavisk::sim {

namespace {

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

PtyLine::PtyLine(unsigned baud) : baudRate(baud) {}

PtyLine::~PtyLine() {
    close();
}

void PtyLine::addPeer(std::shared_ptr<LinePeer> peer) {
    {
        std::lock_guard<std::mutex> lock(peersMutex);
        peers.push_back(std::move(peer));
    }
    wake();
}

bool PtyLine::open(std::string* error) {
    auto fail = [&](const char* what) {
        if (error)
            *error = std::string(what) + ": " + std::strerror(errno);
        closeFd(master);
        closeFd(slave);
        closeFd(wakeRead);
        closeFd(wakeWrite);
        return false;
    };
    if (master >= 0)
        return true;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return fail("openpty");
    // Raw from the start: before the program configures the port, a cooked slave would echo
    // the peers' answers back to them.
    termios tio{};
    if (tcgetattr(slave, &tio) != 0)
        return fail("tcgetattr");
    cfmakeraw(&tio);
    if (tcsetattr(slave, TCSANOW, &tio) != 0)
        return fail("tcsetattr");
    if (!setNonBlocking(master))
        return fail("fcntl");
    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0)
        return fail("pipe2");
    wakeRead = pipeFds[0];
    wakeWrite = pipeFds[1];
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    slavePath = name;
    stopping = false;
    server = std::thread([this] { serve(); });
    return true;
}

void PtyLine::wake() {
    if (wakeWrite >= 0) {
        const char byte = 1;
        // A full pipe already means a wake-up is pending.
        [[maybe_unused]] ssize_t n = ::write(wakeWrite, &byte, 1);
    }
}

void PtyLine::inject(std::vector<std::uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> lock(peersMutex);
        injected.push_back(std::move(bytes));
    }
    wake();
}

void PtyLine::hangUp() {
    hangUpWanted = true;
    wake();
}

void PtyLine::close() {
    if (server.joinable()) {
        stopping = true;
        wake();
        server.join();
    }
    closeFd(master);
    closeFd(slave);
    closeFd(wakeRead);
    closeFd(wakeWrite);
}

SimClock::duration PtyLine::lineTime(std::size_t bytes) const {
    if (baudRate == 0)
        return SimClock::duration::zero();
    const auto ns = static_cast<long long>(bytes) * 10LL * 1000000000LL / baudRate;
    return std::chrono::duration_cast<SimClock::duration>(std::chrono::nanoseconds(ns));
}

void PtyLine::schedule(SimTime due, std::vector<std::uint8_t> bytes) {
    if (bytes.empty())
        return;
    const SimTime start = std::max(outLineFree, due);
    const SimTime end = start + lineTime(bytes.size());
    outLineFree = end;
    outbound.push_back({end, std::move(bytes)});
}

void PtyLine::deliverDue(SimTime now) {
    std::lock_guard<std::mutex> lock(peersMutex);
    while (!inbound.empty() && inbound.front().at <= now) {
        const Segment& seg = inbound.front();
        for (auto& peer : peers)
            peer->receive(seg.bytes.data(), seg.bytes.size(), seg.at);
        inbound.pop_front();
    }
}

void PtyLine::collectEmissions(SimTime now) {
    std::vector<Emission> due;
    std::vector<std::vector<std::uint8_t>> noise;
    {
        std::lock_guard<std::mutex> lock(peersMutex);
        for (auto& peer : peers) {
            if (peer->nextDue() > now)
                continue;
            auto taken = peer->takeDue(now);
            for (auto& e : taken)
                due.push_back(std::move(e));
        }
        noise.swap(injected);
    }
    for (auto& bytes : noise)
        schedule(now, std::move(bytes));
    std::stable_sort(due.begin(), due.end(),
                     [](const Emission& a, const Emission& b) { return a.due < b.due; });
    for (auto& e : due)
        schedule(e.due, std::move(e.bytes));
}

bool PtyLine::writeDue(SimTime now) {
    while (!outbound.empty() && outbound.front().at <= now) {
        Segment& seg = outbound.front();
        const std::size_t left = seg.bytes.size() - outboundWritten;
        const ssize_t n = ::write(master, seg.bytes.data() + outboundWritten, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // EAGAIN: the program is not reading and the terminal's buffer is full; wait for
            // room. Anything else: the bytes cannot be delivered and are dropped.
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return false;
            outboundWritten = 0;
            outbound.pop_front();
            continue;
        }
        toProgram += static_cast<std::uint64_t>(n);
        outboundWritten += static_cast<std::size_t>(n);
        if (outboundWritten < seg.bytes.size())
            return true;
        outboundWritten = 0;
        outbound.pop_front();
    }
    return true;
}

bool PtyLine::anyPeerWantsHangUp() {
    if (hangUpWanted)
        return true;
    std::lock_guard<std::mutex> lock(peersMutex);
    return std::any_of(peers.begin(), peers.end(), [](const auto& p) { return p->hangUpRequested(); });
}

SimTime PtyLine::nextWake(bool writeBlocked) {
    SimTime next = SimTime::max();
    if (!inbound.empty())
        next = std::min(next, inbound.front().at);
    if (!outbound.empty() && !writeBlocked)
        next = std::min(next, outbound.front().at);
    std::lock_guard<std::mutex> lock(peersMutex);
    for (auto& peer : peers)
        next = std::min(next, peer->nextDue());
    if (!injected.empty())
        next = SimTime::min();
    return next;
}

void PtyLine::dropLine() {
    // Closing every descriptor of the master side is what a hang-up looks like from the slave.
    hungUp = true;
    closeFd(master);
    closeFd(slave);
}

void PtyLine::serve() {
    std::vector<std::uint8_t> readBuffer(4096);
    while (!stopping) {
        SimTime now = SimClock::now();
        deliverDue(now);
        collectEmissions(now);
        const bool writeBlocked = !writeDue(now);
        if (anyPeerWantsHangUp()) {
            dropLine();
            return;
        }

        const SimTime next = nextWake(writeBlocked);
        pollfd fds[2] = {{master, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        if (writeBlocked)
            fds[0].events |= POLLOUT; // retry once the terminal has drained
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (next != SimTime::max()) {
            now = SimClock::now();
            const auto wait = next > now ? std::chrono::duration_cast<std::chrono::nanoseconds>(next - now)
                                         : std::chrono::nanoseconds::zero();
            timeout.tv_sec = static_cast<time_t>(wait.count() / 1000000000LL);
            timeout.tv_nsec = static_cast<long>(wait.count() % 1000000000LL);
            timeoutPtr = &timeout;
        }
        const int ready = ppoll(fds, 2, timeoutPtr, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[0].revents & POLLIN)) {
            // Cannot happen while this line holds its own slave descriptor; never spin on it.
            dropLine();
            return;
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(master, readBuffer.data(), readBuffer.size());
            if (n > 0) {
                fromProgram += static_cast<std::uint64_t>(n);
                const SimTime arrived = SimClock::now();
                inLineFree = std::max(inLineFree, arrived) + lineTime(static_cast<std::size_t>(n));
                inbound.push_back({inLineFree, {readBuffer.begin(), readBuffer.begin() + n}});
            }
        }
    }
}

} // namespace tavisk::sim
