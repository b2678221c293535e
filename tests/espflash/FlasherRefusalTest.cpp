// The flasher front's lines when the loader refuses or fails: the failure's text stays what
// scripts and peers match ("esp_loader_flash_start failed: 5"), a line beside it says what the
// number means and why, and what the loader is known to refuse is refused before the device
// is asked to switch its ESP32 to the bootloader.
#include "espflash/EspSerialFlasher.h"
#include "espflash/esp_loader.h"
#include "link/UsbCommunication.h"
#include "tests/espflash/FakeLoaderPort.h"
#include "tests/sim/rom/SimRomLoader.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using tavisk::sim::SimRomConfig;
using tavisk::sim::SimRomLoader;
using tavisk::test::FakeLoaderPort;
using tavisk::test::LogCapture;
using Bytes = std::vector<std::uint8_t>;

TEST(FlasherResults, EveryResultHasAMeaningOfItsOwn) {
    const struct {
        LoaderResult result;
        const char* meaning;
    } table[] = {
        {LOADER_OK, "success"},
        {LOADER_FAIL, "a failure that the chip reported"},
        {LOADER_TIMEOUT, "no answer in time"},
        {LOADER_IMAGE_TOO_LARGE, "an image that does not fit the chip's flash"},
        {LOADER_MD5_MISMATCH, "a digest that differs from the image's"},
        {LOADER_BAD_PARAM, "an invalid argument"},
        {LOADER_BAD_TARGET, "no chip detected yet"},
        {LOADER_UNSUPPORTED_CHIP, "a chip that the loader does not know"},
        {LOADER_UNSUPPORTED_OP, "an operation that this chip's loader does not have"},
        {LOADER_BAD_RESPONSE, "an answer that could not be read"},
        {static_cast<LoaderResult>(42), "an unknown result"},
    };
    for (const auto& row : table)
        EXPECT_EQ(TaviskEspSerialFlasher::meaningOf(row.result), row.meaning) << row.result;
}

TEST(FlasherResults, TheLargestImageIsTheLargestFlashTheLoaderKnows) {
    EXPECT_EQ(TaviskEspSerialFlasher::kMaxImageSize, esp_loader_largest_flash_size());
}

TEST(FlasherResults, WhatTheLoaderRefusesIsFoundBeforeTheChipIsAsked) {
    const std::uint64_t largest = esp_loader_largest_flash_size();
    TaviskEspSerialFlasher::FlashOptions options;
    struct Case {
        const char* name;
        std::uint64_t size;
        std::uint32_t offset;
        LoaderResult refusal; // LOADER_OK: accepted
        const char* why;
    } cases[] = {
        {"whole words", 1000, 0, LOADER_OK, ""},
        {"not whole words", 1001, 0, LOADER_BAD_PARAM,
         "its size of 1001 bytes is not a multiple of 4 (the loader writes whole 32-bit words)"},
        {"an offset off a word", 1000, 2, LOADER_BAD_PARAM, "its flash offset 2 is not a multiple of 4"},
        {"the largest flash, whole", largest, 0, LOADER_OK, ""},
        {"beyond the largest flash", largest - 4, 8, LOADER_IMAGE_TOO_LARGE,
         "its 268435452 bytes at offset 8 end beyond the largest flash of 268435456 bytes"},
    };
    for (const Case& c : cases) {
        options.offset = c.offset;
        std::string why;
        LoaderResult refusal = LOADER_OK;
        EXPECT_EQ(TaviskEspSerialFlasher::acceptsImage(c.size, options, &why, &refusal),
                  c.refusal == LOADER_OK)
            << c.name;
        EXPECT_EQ(refusal, c.refusal) << c.name;
        EXPECT_EQ(why, c.why) << c.name;
    }
}

// One flash of `image` through the front over the simulated ROM loader.
struct Refused {
    const char* name;
    std::size_t imageSize;
    std::uint32_t flashSize; // of the simulated chip
    const char* error;       // the flasher's text, unchanged
    const char* meaning;     // the line beside it
    int bootloaderEntries;
};

void PrintTo(const Refused& c, std::ostream* os) {
    *os << c.name;
}

class FlasherRefusals : public ::testing::TestWithParam<Refused> {};

TEST_P(FlasherRefusals, KeepTheirTextAndSayWhatItMeans) {
    const Refused& c = GetParam();
    SimRomConfig config;
    config.flashSize = c.flashSize;
    config.flashId = c.flashSize == 1024 * 1024 ? 0x144020 : config.flashId; // capacity id 0x14: 1 MiB
    SimRomLoader rom(config);
    FakeLoaderPort port;
    port.attach(&rom);
    UsbCommunication usb;
    LogCapture log;
    std::string error;
    const Bytes image(c.imageSize, 0x5A);
    EXPECT_FALSE(TaviskEspSerialFlasher::flashImage(usb, image, {0, 1024, false}, {}, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(log.count(std::string("EspSerialFlasher: ") + c.meaning, BaseLogger::ERROR), 1u) << c.meaning;
    EXPECT_EQ(port.bootloaderEntries, c.bootloaderEntries);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FlasherRefusals,
    ::testing::Values(
        Refused{"not_whole_words", 1001, 4 * 1024 * 1024, "esp_loader_flash_start failed: 5",
                "esp_loader_flash_start failed: 5 means an invalid argument: its size of 1001 bytes is not a "
                "multiple of 4 (the loader writes whole 32-bit words)",
                0},
        Refused{
            "larger_than_the_chips_flash", 2 * 1024 * 1024, 1024 * 1024, "esp_loader_flash_start failed: 3",
            "esp_loader_flash_start failed: 3 means an image that does not fit the chip's flash: its 2097152 "
            "bytes at offset 0 end beyond the chip's flash of 1048576 bytes",
            1}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
