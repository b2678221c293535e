#include "tests/espflash/FakeLoaderPort.h"

#include "espflash/EspSerialFlasherPort.h"
#include "espflash/loader_port.h"

#include <algorithm>

namespace tavisk::test {

namespace {
FakeLoaderPort* s_current = nullptr;
}

FakeLoaderPort::FakeLoaderPort() {
    s_current = this;
}
FakeLoaderPort::~FakeLoaderPort() {
    if (s_current == this)
        s_current = nullptr;
}

FakeLoaderPort* FakeLoaderPort::current() {
    return s_current;
}

void FakeLoaderPort::script(const std::vector<std::uint8_t>& bytes, Time at) {
    if (at < Time(0))
        at = clock;
    for (std::uint8_t b : bytes)
        scripted.push_back({b, at});
}

std::vector<std::uint8_t> FakeLoaderPort::wire() const {
    std::vector<std::uint8_t> all;
    for (const auto& w : writes)
        all.insert(all.end(), w.begin(), w.end());
    return all;
}

int FakeLoaderPort::write(const std::uint8_t* data, std::uint16_t size) {
    if (data == nullptr || size == 0)
        return LOADER_BAD_PARAM;
    if (writesBeforeFailure == 0)
        return LOADER_FAIL;
    if (writesBeforeFailure > 0)
        --writesBeforeFailure;
    writes.emplace_back(data, data + size);
    if (rom != nullptr)
        rom->receive(data, size, clock);
    return LOADER_OK;
}

int FakeLoaderPort::read(std::uint8_t* data, std::uint16_t size, std::uint32_t timeout) {
    if (data == nullptr || size == 0)
        return LOADER_BAD_PARAM;
    // As the real hook: no time left reads nothing, even when bytes are waiting.
    if (timeout == 0)
        return LOADER_TIMEOUT;
    const Time until = clock + std::chrono::milliseconds(timeout);
    std::uint16_t got = 0;
    for (;;) {
        while (!scripted.empty() && scripted.front().due <= clock) {
            ready.push_back(scripted.front().value);
            scripted.pop_front();
        }
        if (rom != nullptr) {
            for (std::uint8_t b : rom->takeOutput(clock))
                ready.push_back(b);
        }
        while (!ready.empty() && got < size) {
            data[got++] = ready.front();
            ready.pop_front();
        }
        if (got == size)
            return LOADER_OK;
        if (rom != nullptr && rom->hangUpRequested())
            return LOADER_FAIL;
        Time next = Time::max();
        if (!scripted.empty())
            next = scripted.front().due;
        if (rom != nullptr)
            next = std::min(next, rom->nextOutputAt());
        if (next >= until) {
            clock = std::max(clock, until);
            return LOADER_TIMEOUT;
        }
        clock = std::max(clock, next);
    }
}

std::uint32_t FakeLoaderPort::remaining() const {
    if (clock >= deadline)
        return 0;
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock).count());
}

void FakeLoaderPort::delay(std::uint32_t ms) {
    delays.push_back(ms);
    clock += std::chrono::milliseconds(ms);
}

} // namespace tavisk::test

using tavisk::test::FakeLoaderPort;

LoaderResult loader_port_write(const std::uint8_t* data, std::uint16_t size, std::uint32_t) {
    return static_cast<LoaderResult>(FakeLoaderPort::current()->write(data, size));
}
LoaderResult loader_port_read(std::uint8_t* data, std::uint16_t size, std::uint32_t timeout) {
    return static_cast<LoaderResult>(FakeLoaderPort::current()->read(data, size, timeout));
}
void loader_port_delay_ms(std::uint32_t ms) {
    FakeLoaderPort::current()->delay(ms);
}
void loader_port_start_timer(std::uint32_t ms) {
    FakeLoaderPort::current()->startTimer(ms);
}
std::uint32_t loader_port_remaining_time() {
    return FakeLoaderPort::current()->remaining();
}
void loader_port_enter_bootloader() {
    ++FakeLoaderPort::current()->bootloaderEntries;
}
void loader_port_debug_print(const char* text) {
    if (text != nullptr)
        FakeLoaderPort::current()->debugLines.emplace_back(text);
}
LoaderResult loader_port_change_transmission_rate(std::uint32_t) {
    return LOADER_OK;
}
void loader_port_reset_target() {}
// The flasher front lends its link here; the fake port never touches it.
void taviskEspSerialFlasherPortSetUsb(UsbCommunication*) {}
