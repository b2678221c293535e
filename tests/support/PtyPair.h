#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tavisk::test {

// A pseudo-terminal pair for tests (POSIX only). The test is the peer: it keeps the master and
// hands the slave's path to the code under test, which opens it as a serial port.
//
// - Both ends are raw (no echo, no line editing, no CR/LF translation, 8 bits clean).
// - The pair keeps a descriptor of its own on the slave, so the master stays readable and
//   writable while the code under test closes and reopens the slave (as a reconnect does);
//   this descriptor never reads, so every byte written to the master reaches the port.
// - hangUp() makes every descriptor that the code under test holds on the slave see a
//   hang-up (poll gives POLLHUP, read gives end of file or EIO, write gives EIO), and then
//   makes a new pair: slavePath() changes, stablePath() (a symbolic link) follows it.
// - Reads of the master wait with poll(); only waitUntilWaiting() sleeps, 1 ms at a time.
// Not thread-safe: use one object from one thread at a time.
class PtyPair {
public:
    PtyPair(); // throws std::runtime_error when no pseudo-terminal can be made
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The slave's device path, e.g. "/dev/pts/5".
    const std::string& slavePath() const { return slave; }
    // A path that always names the current slave, also after hangUp().
    const std::string& stablePath() const { return link; }
    // The master descriptor, for callers that poll it themselves.
    int masterFd() const { return master; }

    // Writes all bytes to the master (waiting with poll while the line is full); false when
    // the master fails or the deadline passes first.
    bool write(const std::vector<std::uint8_t>& bytes,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));
    bool write(const std::string& bytes, std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // Returns what arrives first on the master within the timeout (at most `max` bytes, empty
    // on timeout).
    std::vector<std::uint8_t> read(std::size_t max, std::chrono::milliseconds timeout);
    // Collects exactly `count` bytes, or what came until the deadline passed.
    std::vector<std::uint8_t> readExactly(std::size_t count,
                                          std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // Discards what the port has written so far.
    void drain();
    // Waits until at least `count` bytes written to the master are waiting on the slave side
    // (the pseudo-terminal hands them over a little later than the write returns), so that
    // a test can read them in one piece; false when the deadline passes first.
    bool waitUntilWaiting(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10));

    // Hangs up the slave side, then opens a fresh pair (see above).
    void hangUp();

private:
    void open();
    void close();

    int master = -1;
    int slaveHold = -1;
    std::string slave;
    std::string folder;
    std::string link;
};

} // namespace tavisk::test
