#include "espflash/EspSerialFlasherPort.h"

#include "core/Clock.h"
#include "core/LoggerManager.h"
#include "core/SteadyClock.h"
#include "espflash/loader_port.h"
#include "link/UsbCommunication.h"

#include <algorithm>
#include <chrono>

namespace TaviskEspSerialFlasherPort {
const std::uint8_t kEnterEspFlashingPayload[12] = {0x7E, 0x08, 0x00, 0x02, 0x03, 0x02,
                                                   0x08, 0x01, 0x00, 0x00, 0x00, 0x1E};
} // namespace TaviskEspSerialFlasherPort

namespace {
using namespace std::chrono;

const std::string kPrefix = "EspSerialFlasherPort: ";
constexpr int kReconnectTries = 25;
constexpr std::uint32_t kSettleMs = 150;
constexpr std::uint32_t kRetryPauseMs = 200;
constexpr long long kMaxWaitMs = 0x7FFFFFFF;

SteadyClock s_steadyClock;
Clock* s_clock = &s_steadyClock;
UsbCommunication* g_usb = nullptr;
Clock::TimePoint g_deadline{};
LoggerManager* g_logger = &LoggerManager::getInstance();

// Whole milliseconds until the deadline, truncated and capped; 0 once it has passed.
std::uint32_t millisecondsUntil(Clock::TimePoint deadline) {
    const auto now = s_clock->now();
    if (now >= deadline)
        return 0;
    const long long left = duration_cast<milliseconds>(deadline - now).count();
    return static_cast<std::uint32_t>(std::min(left, kMaxWaitMs));
}
} // namespace

void TaviskEspSerialFlasherPort::setClock(Clock* clock) {
    s_clock = clock != nullptr ? clock : &s_steadyClock;
}

void taviskEspSerialFlasherPortSetUsb(UsbCommunication* usb) {
    g_usb = usb;
}

LoaderResult loader_port_write(const std::uint8_t* data, std::uint16_t size, std::uint32_t) {
    if (data == nullptr || size == 0 || g_usb == nullptr)
        return LOADER_BAD_PARAM;
    return g_usb->write(data, size) == LINK_OK ? LOADER_OK : LOADER_FAIL;
}

LoaderResult loader_port_read(std::uint8_t* data, std::uint16_t size, std::uint32_t timeout) {
    if (data == nullptr || size == 0 || g_usb == nullptr)
        return LOADER_BAD_PARAM;
    const auto deadline = s_clock->now() + milliseconds(timeout);
    std::uint16_t got = 0;
    for (;;) {
        const std::uint32_t left = millisecondsUntil(deadline);
        if (left == 0)
            return LOADER_TIMEOUT;
        const IoResult r = g_usb->read(data + got, size - got, static_cast<int>(left));
        if (r.status == LINK_NO_DATA) {
            s_clock->sleepFor(milliseconds(1));
            continue;
        }
        if (r.status != LINK_OK || r.count == 0)
            return LOADER_FAIL;
        got = static_cast<std::uint16_t>(std::min<std::uint64_t>(got + r.count, size));
        if (got == size)
            return LOADER_OK;
    }
}

void loader_port_delay_ms(std::uint32_t ms) {
    if (ms > 0)
        s_clock->sleepFor(milliseconds(ms));
}

void loader_port_start_timer(std::uint32_t ms) {
    g_deadline = s_clock->now() + milliseconds(ms);
}

std::uint32_t loader_port_remaining_time() {
    return millisecondsUntil(g_deadline);
}

void loader_port_enter_bootloader() {
    if (g_usb == nullptr)
        return;
    g_usb->write(TaviskEspSerialFlasherPort::kEnterEspFlashingPayload,
                 sizeof TaviskEspSerialFlasherPort::kEnterEspFlashingPayload);
    loader_port_delay_ms(kSettleMs);
    g_usb->disconnect();
    loader_port_delay_ms(kSettleMs);
    for (int i = 0; i < kReconnectTries; ++i) {
        if (g_usb->connect(UsbCommunication::COM) == LINK_OK) {
            loader_port_delay_ms(kSettleMs);
            return;
        }
        loader_port_delay_ms(kRetryPauseMs);
    }
    g_logger->log("Failed to reconnect serial port after ESP prepare payload", BaseLogger::ERROR, kPrefix);
}

void loader_port_debug_print(const char* text) {
    if (text != nullptr)
        g_logger->log(text, BaseLogger::DEBUG, kPrefix);
}

LoaderResult loader_port_change_transmission_rate(std::uint32_t) {
    return LOADER_OK;
}

void loader_port_reset_target() {}
