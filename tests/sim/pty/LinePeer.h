#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavisk::sim {

using SimClock = std::chrono::steady_clock;
using SimTime = SimClock::time_point;

// Bytes that a peer puts on the line, not before `due`. The transport writes one emission as
// one burst (a UART driver delivers a finished answer the same way); a peer that wants bytes
// to arrive separately schedules them as separate emissions.
struct Emission {
    SimTime due{};
    std::vector<std::uint8_t> bytes;
};

// A simulated device on a serial line, free of any transport: bytes in, bytes out, with time.
//
// The transport (PtyLine, or a test driving the peer directly) owns the clock:
//   - receive() hands over bytes the program sent, stamped with the time their last byte
//     finished arriving on the line (line-rate emulation delays that stamp, not the call);
//   - nextDue() says when the peer next has something to send (SimTime::max(): nothing), so
//     the transport can sleep until then instead of polling; a late answer is simply an
//     emission with a later `due`;
//   - takeDue(now) hands over, in order, every emission whose `due` is at or before `now`;
//   - hangUpRequested() asks the transport to drop the line (the program then sees a
//     hang-up); it is looked at after every receive() and takeDue().
//
// Threads: the transport calls all four from its one thread. A peer that tests reconfigure
// while the line runs (faults, expectations) guards its own state; after such a change from
// another thread, call the transport's wake() so that a new nextDue() is seen at once.
class LinePeer {
public:
    virtual ~LinePeer() = default;

    virtual void receive(const std::uint8_t* data, std::size_t size, SimTime at) = 0;
    virtual SimTime nextDue() const = 0;
    virtual std::vector<Emission> takeDue(SimTime now) = 0;
    virtual bool hangUpRequested() const { return false; }
};

} // namespace tavisk::sim
