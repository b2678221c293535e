// The lookup of a crash frame's module in a process memory map, over maps of the kernel's own
// format.
#include "platform/ModuleOfAddress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// A map as the kernel writes it: an executable, anonymous memory, a library mapped in parts,
// the vDSO.
const std::vector<std::string> kMap = {
    "55aaac278000-55aaac279000 r--p 00000000 fe:00 247134                     /opt/tavisk/bin/app",
    "55aaac279000-55aaac27d000 r-xp 00001000 fe:00 247134                     /opt/tavisk/bin/app",
    "55aaac27d000-55aaac27f000 rw-p 00005000 fe:00 247134                     /opt/tavisk/bin/app",
    "55aaad000000-55aaad021000 rw-p 00000000 00:00 0                          [heap]",
    "7fef81000000-7fef81010000 rwxp 00000000 00:00 0 ",
    "7fef8101e000-7fef81044000 r--p 00000000 fe:00 332835                     /usr/lib/libc.so.6",
    "7fef81044000-7fef8119a000 r-xp 00026000 fe:00 332835                     /usr/lib/libc.so.6",
    "7fef8119a000-7fef811ed000 r--p 0017c000 fe:00 332835                     /usr/lib/libc.so.6",
    "7fef81200000-7fef81210000 r-xp 00010000 fe:00 400001                     /usr/lib/libpart.so (deleted)",
    "7fff2b5fe000-7fff2b600000 r-xp 00000000 00:00 0                          [vdso]",
};

TEST(ModuleOfAddress, NamesTheMappedFileAndTheOffsetFromItsStart) {
    struct Case {
        std::uintptr_t address;
        const char* module; // nullptr: no module
        std::uintptr_t offset;
    };
    const Case cases[] = {
        {0x55aaac279b17, "/opt/tavisk/bin/app", 0x1b17},
        {0x55aaac278000, "/opt/tavisk/bin/app", 0x0},
        {0x7fef8105a050, "/usr/lib/libc.so.6", 0x3c050},
        // The end of a mapping belongs to the next one.
        {0x7fef81044000, "/usr/lib/libc.so.6", 0x26000},
        {0x7fff2b5ff123, "[vdso]", 0x1123},
        // Code made at run time has no file.
        {0x7fef81000010, nullptr, 0},
        // A file whose start is not mapped: its load address is unknown.
        {0x7fef81200010, nullptr, 0},
        // Between mappings, below and above all of them.
        {0x7fef81010000, nullptr, 0},
        {0x1000, nullptr, 0},
        {0xffffffffff600000, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.address));
        ModuleOfAddress module(c.address);
        for (const std::string& line : kMap)
            module.addLine(line.data(), line.size());
        ASSERT_EQ(module.found(), c.module != nullptr);
        if (c.module == nullptr)
            continue;
        EXPECT_STREQ(module.path(), c.module);
        EXPECT_EQ(module.offset(), c.offset);
    }
}

TEST(ModuleOfAddress, ALongPathKeepsItsEndAndMalformedLinesAreSkipped) {
    const std::string folder(600, 'd');
    const std::string path = "/" + folder + "/libdeep.so";
    const std::vector<std::string> lines = {
        "",
        "garbage",
        "7f0000000000 r-xp 00000000 fe:00 1 /no/end/address",
        "7f0000000000-7f0000010000 r-xp zz fe:00 1 /bad/offset",
        "7f0000000000-7f0000001000 r--p 00000000 fe:00 9 " + path,
        "7f0000001000-7f0000002000 r-xp 00001000 fe:00 9 " + path,
    };
    ModuleOfAddress module(0x7f0000001040);
    for (const std::string& line : lines)
        module.addLine(line.data(), line.size());
    ASSERT_TRUE(module.found());
    EXPECT_EQ(module.offset(), 0x1040u);
    const std::string kept = module.path();
    EXPECT_EQ(kept.size(), ModuleOfAddress::kPathCapacity - 1);
    EXPECT_EQ(kept.substr(0, 3), "...");
    EXPECT_EQ(kept.substr(3), path.substr(path.size() - (kept.size() - 3)));
}

} // namespace
