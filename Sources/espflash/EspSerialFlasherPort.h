#pragma once

#include "esp_loader.h"

#include <chrono>
#include <cstdint>

class UsbCommunication;

// Port hooks of the ROM-loader client over the device link that the flasher front lends.
// The loader never touches the link, the clock or the logger itself: it calls these.

void taviskEspSerialFlasherPortSetUsb(UsbCommunication* usb);

LoaderResult loader_port_write(const std::uint8_t* data, std::uint16_t size, std::uint32_t timeout);
LoaderResult loader_port_read(std::uint8_t* data, std::uint16_t size, std::uint32_t timeout);
void loader_port_delay_ms(std::uint32_t ms);
void loader_port_start_timer(std::uint32_t ms);
std::uint32_t loader_port_remaining_time();
// Asks the beacon to put its ESP32 into the ROM bootloader, then closes and reopens the port.
void loader_port_enter_bootloader();
void loader_port_debug_print(const char* text);
LoaderResult loader_port_change_transmission_rate(std::uint32_t baudrate);
void loader_port_reset_target();

namespace TaviskEspSerialFlasherPort {
// The frame of the payload protocol that asks the beacon to switch its ESP32 into the ROM
// bootloader (set field 2 of device 2 to the 4-byte value 1, pack number 0).
extern const std::uint8_t kEnterEspFlashingPayload[12];

// Time source and sleep of the hooks; tests replace it to run deadlines on a virtual clock.
class Clock {
public:
    virtual ~Clock();
    virtual std::chrono::steady_clock::time_point now() = 0;
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;
};
// Null restores the steady clock.
void setClock(Clock* clock);
} // namespace TaviskEspSerialFlasherPort
