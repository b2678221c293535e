#include "link/SerialPortHelpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace SPH = SerialPortHelpers;

namespace {

struct NameCase {
    std::string name;
    int index;               // comIndex
    std::string windowsPath; // the Win32 device path
    std::string posixPath;   // the POSIX device path
};

const std::vector<NameCase> kNames = {
    {"COM12", 12, "\\\\.\\COM12", "/dev/COM12"},
    {"com7", 7, "\\\\.\\com7", "/dev/com7"},
    {"CoM3x", 3, "\\\\.\\CoM3x", "/dev/CoM3x"}, // leading digits only
    {"COM007", 7, "\\\\.\\COM007", "/dev/COM007"},
    {"COM", 0, "COM", "/dev/COM"},    // too short
    {"COMX", 0, "COMX", "/dev/COMX"}, // no digit
    {"COM-1", 0, "COM-1", "/dev/COM-1"},
    {"LPT1", 0, "LPT1", "/dev/LPT1"},
    {"", 0, "", "/dev/"},
    {"\\\\.\\COM5", 0, "\\\\.\\COM5", "/dev/\\\\.\\COM5"}, // already a device path
    {"COM2147483647", 2147483647, "\\\\.\\COM2147483647", "/dev/COM2147483647"},
    {"COM2147483648", 0, "\\\\.\\COM2147483648", "/dev/COM2147483648"}, // does not fit an int
    {"COM99999999999999999999", 0, "\\\\.\\COM99999999999999999999", "/dev/COM99999999999999999999"},
    {"/dev/ttyUSB0", 0, "/dev/ttyUSB0", "/dev/ttyUSB0"},
    {"ttyACM1", 0, "ttyACM1", "/dev/ttyACM1"},
};

TEST(SerialPortNames, IndexAndDevicePaths) {
    for (const NameCase& c : kNames) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SPH::comIndex(c.name), c.index);
        EXPECT_EQ(SPH::windowsDevicePath(c.name), c.windowsPath);
        EXPECT_EQ(SPH::posixDevicePath(c.name), c.posixPath);
    }
}

TEST(SerialPortNames, NameWithoutLeadingSlashMustNotClimbOutOfDev) {
    const std::pair<const char*, bool> cases[] = {
        {"ttyUSB0", false},
        {"pts/3", false},
        {"..", true},
        {"../etc/passwd", true},
        {"pts/../../etc", true},
        {"pts/..", true},
        {"a..b", false},
        {"..hidden", false},
        {"/dev/../etc/passwd", false}, // named in full
        {"", false},
    };
    for (const auto& [name, leaves] : cases)
        EXPECT_EQ(SPH::leavesDevFolder(name), leaves) << name;
}

TEST(SerialPortRates, ListedRatesApplyOthersFallBackTo115200) {
    for (std::uint32_t rate : UsbTypes::kBaudrates)
        EXPECT_EQ(SPH::appliedRate(static_cast<UsbTypes::Baudrate>(rate)), rate);
    for (std::uint32_t rate : {0u, 9600u, 38400u, 115201u, 3000000u, 0xFFFFFFFFu})
        EXPECT_EQ(SPH::appliedRate(static_cast<UsbTypes::Baudrate>(rate)), 115200u) << rate;
}

TEST(SerialPortSorting, ComNamesByNumberOthersByteWise) {
    std::vector<std::string> names = {"COM10", "COM2", "com3", "COM1"};
    SPH::sortComNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"COM1", "COM2", "com3", "COM10"}));

    std::vector<std::string> mixed = {"COMX", "COM2", "AUX"};
    SPH::sortComNames(mixed);
    EXPECT_EQ(mixed, (std::vector<std::string>{"AUX", "COM2", "COMX"}));
}

TEST(SerialPortSorting, NaturalOrder) {
    std::vector<std::string> names = {"ttyUSB10", "ttyS10", "ttyUSB2", "ttyS2",
                                      "ttyACM0",  "ttyS1",  "ttyUSB1"};
    SPH::sortNatural(names);
    EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS1", "ttyS2", "ttyS10", "ttyUSB1", "ttyUSB2",
                                               "ttyUSB10"}));
    // Leading zeros and numbers too long for any integer type still order by value.
    EXPECT_TRUE(SPH::naturalLess("ttyS02", "ttyS10"));
    EXPECT_TRUE(SPH::naturalLess("a99999999999999999999", "a100000000000000000000"));
    EXPECT_FALSE(SPH::naturalLess("ttyS1", "ttyS1"));
    // Names equal by value still have a strict order, so sorting stays well defined.
    EXPECT_NE(SPH::naturalLess("ttyS01", "ttyS1"), SPH::naturalLess("ttyS1", "ttyS01"));
}

TEST(SerialPortPathList, SplitsOnColonsAndDropsEmptyEntries) {
    EXPECT_EQ(SPH::splitPathList(""), std::vector<std::string>{});
    EXPECT_EQ(SPH::splitPathList("/dev/pts/3"), std::vector<std::string>{"/dev/pts/3"});
    EXPECT_EQ(SPH::splitPathList(":/a::/b:"), (std::vector<std::string>{"/a", "/b"}));
}

} // namespace
