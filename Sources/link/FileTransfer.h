#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

// One file sent to a file number on a device, stop-and-wait: an erase request, the file in
// chunks, then a closing request, each only after the device acknowledged the one before.
// This class holds where the transfer stands and decides what goes out next; the protocol
// engine frames, logs and announces it. No I/O, no clock of its own, no lock: the engine's
// mutex guards it.
class FileTransfer {
public:
    enum class Kind { ERASE, CHUNK, CLOSE };

    static constexpr std::size_t kMaxChunk = 64;
    // Offsets and sizes travel as 32-bit numbers: a larger file cannot be sent whole.
    static constexpr std::uint64_t kMaxSize = std::numeric_limits<std::uint32_t>::max();

    // The next request of the transfer, as the device is to receive it.
    struct Request {
        Kind kind = Kind::ERASE;
        std::uint32_t offset = 0; // 0 for the erase, the file size for the closing request
        std::array<std::uint8_t, kMaxChunk> data{};
        std::uint8_t length = 0; // bytes of `data` that are the chunk; 0 for erase and closing
        unsigned int timeoutMs = 0;
        // The share of the file acknowledged so far. 100 means the device confirmed the whole
        // file, so the closing request announces 99 at most.
        std::uint8_t percent = 0;

        bool closes() const { return kind == Kind::CLOSE; }
    };

    // What an acknowledgement of the request in flight leads to.
    enum class Ack {
        NEXT,        // another request follows: next() gives it
        COMPLETE,    // the closing request was confirmed; the transfer is over (idle again)
        NOTHING_SENT // no request of this transfer is out (none running, or next() not called)
    };

    // Where the transfer stands (all false and 0 when none runs).
    struct View {
        bool active = false;
        bool eraseDone = false;  // the erase request was acknowledged
        bool finishSent = false; // the closing request went out
        std::uint32_t offset = 0;
        std::uint32_t size = 0;
    };

    // Begins a transfer of `bytes` to file `file` on device `device`, dropping one that runs;
    // `startedAt` is when the file was loaded (the completion's time counts from there). A
    // file of more than kMaxSize bytes is refused: false, and no transfer runs.
    bool start(std::vector<std::uint8_t> bytes, std::uint8_t device, std::uint8_t file,
               std::chrono::steady_clock::time_point startedAt);
    // Drops the transfer and its bytes.
    void stop();

    // The request to send now; asked again before the acknowledgement, it gives the same
    // request. Nothing when no transfer runs.
    std::optional<Request> next();
    // The device acknowledged the request in flight.
    Ack acknowledge();

    bool active() const { return running; }
    View view() const;
    std::uint8_t device() const { return fileDevice; }
    std::uint8_t file() const { return fileIndex; }
    std::uint32_t size() const { return fileSize; }
    // FastCrc8 of the whole file, taken at start.
    std::uint32_t checksum() const { return fileCrc; }
    std::chrono::steady_clock::time_point startedAt() const { return transferStart; }

private:
    std::vector<std::uint8_t> fileData;
    std::uint8_t fileDevice = 0;
    std::uint8_t fileIndex = 0;
    std::uint32_t fileSize = 0;
    std::uint32_t fileCrc = 0;
    std::uint8_t chunkLength = 0; // data bytes of the request in flight
    std::uint32_t fileOffset = 0; // where the request in flight starts
    std::uint32_t bytesRemaining = 0;
    std::chrono::steady_clock::time_point transferStart{};
    bool eraseDone = false;
    bool finishSent = false;
    bool inFlight = false;
    bool running = false;
};
