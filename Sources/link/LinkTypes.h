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

// The line rates a port runs at, in bits per second: the one list from which the enumeration
// and the table below, the connection dialog's choices and the POSIX speed constants (B57600 ...)
// are made. TAVISK_BAUDRATES(X) expands X(rate) for each rate in ascending order.
#define TAVISK_BAUDRATES(X)                                                                                  \
    X(57600) X(115200) X(230400) X(460800) X(500000) X(576000) X(921600) X(1000000) X(2000000)

namespace UsbTypes {
// Line rate in bits per second. Any other value is accepted and runs the port at 115200.
enum Baudrate : std::uint32_t {
#define TAVISK_BAUDRATE_ENUMERATOR(rate) BAUD_##rate = rate,
    TAVISK_BAUDRATES(TAVISK_BAUDRATE_ENUMERATOR)
#undef TAVISK_BAUDRATE_ENUMERATOR
};

// Every rate of the enumeration, in ascending order.
constexpr Baudrate kBaudrates[] = {
#define TAVISK_BAUDRATE_ITEM(rate) BAUD_##rate,
    TAVISK_BAUDRATES(TAVISK_BAUDRATE_ITEM)
#undef TAVISK_BAUDRATE_ITEM
};

// The rate of a link nobody chose one for, and of a request for a rate not in the list.
constexpr Baudrate kDefaultBaudrate = BAUD_115200;
} // namespace UsbTypes

namespace LinkMethod {
// How the link talks to the device; used as UsbCommunication::ConnectionMethod.
enum ConnectionMethod : std::uint32_t {
    NONE = 0, // no link
    USB = 1,  // recorded only: no input or output
    COM = 2,  // the serial port
};
} // namespace LinkMethod
