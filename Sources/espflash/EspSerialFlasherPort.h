#pragma once

#include <cstdint>

class Clock;
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

// The clock of the hooks' deadlines and delays; tests set a virtual one. Null restores the
// steady clock. The hooks never cancel it, and a sleep it cuts short counts as slept.
void setClock(Clock* clock);
} // namespace TaviskEspSerialFlasherPort
