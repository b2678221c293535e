#pragma once

#include "tests/sim/rom/SimRomLoader.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace tavisk::test {

// The loader's port hooks over a virtual clock, for unit tests of the loader layer: reads take
// what a simulated ROM loader (or a script of bytes) has made due, and waiting moves the clock
// straight to the next byte or the deadline, so deadlines and retries are exact and instant.
// One instance is current at a time (the hooks are free functions).
class FakeLoaderPort {
public:
    using Time = sim::SimRomLoader::Time;

    FakeLoaderPort();
    ~FakeLoaderPort();

    void attach(sim::SimRomLoader* model) { rom = model; }
    // Bytes that arrive at the given virtual time (default: now), in order.
    void script(const std::vector<std::uint8_t>& bytes, Time at = Time(-1));
    // Makes writes fail from the n-th one on (0: the next).
    void failWritesAfter(int n) { writesBeforeFailure = n; }

    Time now() const { return clock; }
    void advance(Time by) { clock += by; }

    std::vector<std::vector<std::uint8_t>> writes; // each loader_port_write call
    std::vector<std::uint8_t> wire() const;        // all written bytes
    std::vector<std::uint32_t> delays;             // each loader_port_delay_ms
    std::vector<std::string> debugLines;
    int bootloaderEntries = 0;

    static FakeLoaderPort* current();

    // Hook bodies.
    int write(const std::uint8_t* data, std::uint16_t size);
    int read(std::uint8_t* data, std::uint16_t size, std::uint32_t timeout);
    void startTimer(std::uint32_t ms) { deadline = clock + std::chrono::milliseconds(ms); }
    std::uint32_t remaining() const;
    void delay(std::uint32_t ms);

private:
    struct Byte {
        std::uint8_t value;
        Time due;
    };
    sim::SimRomLoader* rom = nullptr;
    std::deque<Byte> scripted;
    std::deque<std::uint8_t> ready;
    Time clock{0};
    Time deadline{0};
    int writesBeforeFailure = -1;
};

} // namespace tavisk::test
