#pragma once

#include "link/LinkTypes.h"

#include <cstdint>
#include <string>
#include <vector>

// The system-independent rules of the serial ports, shared by both implementations.
namespace SerialPortHelpers {

// The rate that a request for `rate` applies: the rate itself when it is one of
// UsbTypes::kBaudrates, else UsbTypes::kDefaultBaudrate.
std::uint32_t appliedRate(UsbTypes::Baudrate rate);

// The number in a COM name ("COM12", "com7"): the digits from the fourth character on; 0 for
// anything else and for a number that does not fit an int.
int comIndex(const std::string& name);

// Windows device path: "\\.\" in front of a COM name, any other name unchanged.
std::string windowsDevicePath(const std::string& name);
// POSIX device path: a name beginning with "/" as it is, any other under "/dev/".
std::string posixDevicePath(const std::string& name);
// Whether a name without a leading "/" climbs out of /dev through a ".." part.
bool leavesDevFolder(const std::string& name);

// Sorts COM names by their number (names without one byte-wise).
void sortComNames(std::vector<std::string>& names);
// Sorts names in natural order: runs of digits compare by their value ("ttyS2" < "ttyS10").
void sortNatural(std::vector<std::string>& names);
// Natural order of two names, as sortNatural uses it.
bool naturalLess(const std::string& a, const std::string& b);

// Splits a colon-separated list, dropping empty entries.
std::vector<std::string> splitPathList(const std::string& list);

} // namespace SerialPortHelpers
