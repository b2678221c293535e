#pragma once

#include "espflash/loader_types.h"

#include <cstdint>

// The port hooks: everything the ROM-loader client needs from outside (bytes to and from the
// chip, the command deadline, sleeping, debug lines, the way into the bootloader). The loader
// never touches a link, a clock or a logger itself. EspSerialFlasherPort implements them over
// the device link; the loader's tests implement them over a virtual clock.

LoaderResult loader_port_write(const std::uint8_t* data, std::uint16_t size, std::uint32_t timeout);
LoaderResult loader_port_read(std::uint8_t* data, std::uint16_t size, std::uint32_t timeout);
void loader_port_delay_ms(std::uint32_t ms);
// Starts the deadline of one command; loader_port_remaining_time counts down to it.
void loader_port_start_timer(std::uint32_t ms);
std::uint32_t loader_port_remaining_time();
// Puts the chip into its ROM bootloader.
void loader_port_enter_bootloader();
void loader_port_debug_print(const char* text);
LoaderResult loader_port_change_transmission_rate(std::uint32_t baudrate);
void loader_port_reset_target();
