#pragma once

#include <chrono>
#include <cstdint>

class UsbCommunication;

// The loader's port hooks (loader_port.h) over the device link that the flasher front lends.
// Entering the bootloader asks the beacon to put its ESP32 into the ROM bootloader, then closes
// and reopens the port.

// The link that the hooks use from now on; the front sets it before it connects.
void taviskEspSerialFlasherPortSetUsb(UsbCommunication* usb);

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
