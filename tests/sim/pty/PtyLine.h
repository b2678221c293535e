#pragma once

#include "tests/sim/pty/LinePeer.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavisk::sim {

// Serves transport-free peers on a pseudo-terminal, so that the real serial port and link can
// talk to them. The program opens path(); the line keeps the master and its own descriptor of
// the slave side, so it survives the program closing and reopening the port. Every peer sees
// every byte the program writes (several devices can share one line); their emissions go out
// in order of their due times.
//
// With a baud rate, both directions are paced as an 8N1 line would carry them (10 bits a
// byte): a request reaches the peers when its last byte would have arrived, an answer reaches
// the program when its last byte would have been sent. Baud 0 moves bytes unpaced.
//
// One thread serves the line; it sleeps in ppoll() until bytes arrive, the next emission or
// delivery is due, or wake() is called.
class PtyLine {
public:
    explicit PtyLine(unsigned baud = 0);
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Adds a peer; allowed before and while the line runs.
    void addPeer(std::shared_ptr<LinePeer> peer);
    // Opens the pseudo-terminal and starts serving it. On failure returns false and, when
    // `error` is given, the reason.
    bool open(std::string* error = nullptr);
    // The slave side's path, for the program (empty until open()).
    const std::string& path() const { return slavePath; }
    unsigned baud() const { return baudRate; }

    // Makes the serving thread look at its peers again (after a change from another thread).
    void wake();
    // Puts bytes on the line towards the program now, outside any peer (line noise).
    void inject(std::vector<std::uint8_t> bytes);
    // Drops the line: the program's next read or write on the port fails as after a hang-up.
    void hangUp();
    bool isHungUp() const { return hungUp.load(); }
    // Stops serving and releases the pseudo-terminal.
    void close();

    std::uint64_t bytesFromProgram() const { return fromProgram.load(); }
    std::uint64_t bytesToProgram() const { return toProgram.load(); }

private:
    struct Segment {
        SimTime at{};
        std::vector<std::uint8_t> bytes;
    };

    void serve();
    SimClock::duration lineTime(std::size_t bytes) const;
    void schedule(SimTime due, std::vector<std::uint8_t> bytes);
    void deliverDue(SimTime now);
    void collectEmissions(SimTime now);
    // False when the terminal's buffer is full and the front segment must wait for room.
    bool writeDue(SimTime now);
    bool anyPeerWantsHangUp();
    SimTime nextWake(bool writeBlocked);
    void dropLine();

    const unsigned baudRate;
    int master = -1;
    int slave = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::string slavePath;
    std::thread server;
    std::atomic<bool> stopping{false};
    std::atomic<bool> hungUp{false};
    std::atomic<bool> hangUpWanted{false};
    std::atomic<std::uint64_t> fromProgram{0};
    std::atomic<std::uint64_t> toProgram{0};

    // Guards `peers` and `injected`: both are changed by other threads while the line runs.
    // Held while the serving thread calls its peers, which never block.
    std::mutex peersMutex;
    std::vector<std::shared_ptr<LinePeer>> peers;
    std::vector<std::vector<std::uint8_t>> injected;

    // Serving thread only.
    std::deque<Segment> inbound;     // received, waiting for their line time to pass
    std::deque<Segment> outbound;    // scheduled, waiting for their line time to pass
    std::size_t outboundWritten = 0; // bytes of outbound.front() already written
    SimTime inLineFree{};
    SimTime outLineFree{};
};

} // namespace tavisk::sim
