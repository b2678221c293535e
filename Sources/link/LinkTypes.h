#pragma once

#include <cstdint>

// Result code of the device link and of the serial port. Callers treat every value but
// LINK_OK as failure; the listener also tells LINK_NO_DATA and LINK_UNAVAILABLE apart.
enum LinkStatus : std::uint32_t {
    LINK_OK = 0,
    LINK_OPEN_FAILED = 1,
    LINK_CLOSE_FAILED = 2,
    LINK_WRITE_FAILED = 3,
    LINK_READ_FAILED = 4,
    LINK_NO_DATA = 5,     // nothing arrived before the read's timeout
    LINK_UNAVAILABLE = 6, // the link method can do no input or output (USB, or none chosen)
};

// Result of a read, and of the serial port's write: the status and the bytes moved.
struct IoResult {
    LinkStatus status = LINK_OK;
    std::uint64_t count = 0;
};

namespace UsbTypes {
// Line rate in bits per second. Any other value is accepted and runs the port at 115200.
enum Baudrate : std::uint32_t {
    BAUD_57600 = 57600,
    BAUD_115200 = 115200,
    BAUD_230400 = 230400,
    BAUD_460800 = 460800,
    BAUD_500000 = 500000,
    BAUD_576000 = 576000,
    BAUD_921600 = 921600,
    BAUD_1000000 = 1000000,
    BAUD_2000000 = 2000000,
};
} // namespace UsbTypes

namespace LinkMethod {
// How the link talks to the device; used as UsbCommunication::ConnectionMethod.
enum ConnectionMethod : std::uint32_t {
    NONE = 0, // no link
    USB = 1,  // recorded only: no input or output
    COM = 2,  // the serial port
};
} // namespace LinkMethod
