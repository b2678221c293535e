// The flasher front end to end: the real link on a pseudo-terminal, the simulated beacon that
// hands the line to the simulated ROM loader on the bootloader-entry frame.
#include "espflash/EspSerialFlasher.h"
#include "link/UsbCommunication.h"
#include "tests/espflash/LoaderTestSupport.h"
#include "tests/sim/beacon/SimBeacon.h"
#include "tests/sim/pty/PtyLine.h"
#include "tests/sim/rom/SimRomPeer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {
using namespace std::chrono_literals;
using tavisk::sim::SimRomLoader;
using tavisk::test::TempFile;
using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t size) {
    Bytes b(size);
    std::uint32_t x = 0x12345678;
    for (auto& v : b) {
        x = x * 1103515245 + 12345;
        v = static_cast<std::uint8_t>(x >> 16);
    }
    // Make sure the escapes are exercised in the data too.
    for (std::size_t i = 0; i + 1 < b.size(); i += 97) {
        b[i] = 0xC0;
        b[i + 1] = 0xDB;
    }
    return b;
}

// A beacon with its ESP32 ROM loader on a pseudo-terminal, and the program's link to it.
struct Bench {
    explicit Bench(tavisk::sim::SimRomConfig config = {})
        : rom(std::make_shared<tavisk::sim::SimRomPeer>(config)) {
        beacon->setBootloaderPeer(rom);
        line.addPeer(beacon);
        std::string error;
        if (!line.open(&error))
            throw std::runtime_error(error);
        usb.setPort(line.path(), UsbTypes::BAUD_115200);
        if (usb.connect(UsbCommunication::COM) != LINK_OK)
            throw std::runtime_error("cannot open " + line.path());
    }
    std::vector<std::string> transcript() {
        std::vector<std::string> t;
        rom->with([&](SimRomLoader& m) { t = m.transcriptLines(); });
        return t;
    }
    Bytes flash(std::size_t from, std::size_t size) {
        Bytes f;
        rom->with(
            [&](SimRomLoader& m) { f.assign(m.flash().begin() + from, m.flash().begin() + from + size); });
        return f;
    }

    std::shared_ptr<tavisk::sim::SimRomPeer> rom;
    std::shared_ptr<tavisk::sim::SimBeacon> beacon = std::make_shared<tavisk::sim::SimBeacon>();
    tavisk::sim::PtyLine line;
    UsbCommunication usb;
};

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

TEST(FlasherLine, WritesAnImageOfManyBlocksByteForByte) {
    Bench bench;
    // 230 blocks, the last one short: sequence numbers 0xC0 and 0xDB go out escaped.
    const Bytes image = pattern(230 * 1024 - 100);
    TempFile file(image);
    std::vector<unsigned> progress;
    std::string error = "untouched";
    const bool ok = TaviskEspSerialFlasher::flashBinary(
        bench.usb, file.path(), {0x10000, 1024, false}, [&](unsigned char p) { progress.push_back(p); },
        &error);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(error, "untouched");
    EXPECT_TRUE(bench.beacon->handedOff());
    EXPECT_TRUE(bench.usb.isConnected());

    EXPECT_EQ(bench.flash(0x10000, image.size()), image);
    const Bytes padding = bench.flash(0x10000 + image.size(), 100);
    EXPECT_EQ(padding, Bytes(100, 0xFF));
    bench.rom->with([](SimRomLoader& m) {
        EXPECT_EQ(m.blocksWritten(), 230u);
        EXPECT_EQ(m.flashEndFlag(), 1);
        EXPECT_EQ(m.malformedFrames(), 0);
    });
    // One report per block, the last block's at 99, then 100 for the verified image.
    ASSERT_EQ(progress.size(), 231u);
    EXPECT_EQ(progress[229], 99u);
    EXPECT_EQ(progress.back(), 100u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));

    EXPECT_EQ(bench.transcript(), readLines(TAVISK_ESPFLASH_GOLDEN "/flash_230_blocks.txt"));
}

TEST(FlasherLine, ProgressAndBlockSizes) {
    const struct {
        std::uint32_t blockSize;
        std::size_t imageSize;
        std::vector<unsigned> progress;
        std::uint32_t wireBlock;
    } cases[] = {
        {1024, 2500, {40, 81, 99, 100}, 1024},
        {0, 512, {50, 99, 100}, 256},
        {100, 512, {50, 99, 100}, 256},
    };
    for (const auto& c : cases) {
        Bench bench;
        TempFile file(pattern(c.imageSize));
        std::vector<unsigned> progress;
        ASSERT_TRUE(TaviskEspSerialFlasher::flashBinary(
            bench.usb, file.path(), {0, c.blockSize, false}, [&](unsigned char p) { progress.push_back(p); },
            nullptr));
        EXPECT_EQ(progress, c.progress);
        std::vector<std::uint32_t> sizes;
        bench.rom->with([&](SimRomLoader& m) {
            for (const auto& cmd : m.commands()) {
                if (cmd.opcode == 0x03)
                    sizes.push_back(cmd.words()[0]);
            }
            // A short last block lands padded.
            if (c.imageSize % c.wireBlock != 0) {
                EXPECT_EQ(m.flash()[c.imageSize], 0xFF);
            }
        });
        EXPECT_EQ(sizes, std::vector<std::uint32_t>(c.progress.size() - 1, c.wireBlock));
    }
}

TEST(FlasherLine, FileProblemsAreReportedWithoutTraffic) {
    Bench bench;
    TempFile empty({});
    const struct {
        std::string path;
        std::string text;
    } cases[] = {
        {empty.folder() + "/missing.bin", "Can't open file: " + empty.folder() + "/missing.bin"},
        {empty.path(), "File is empty or size is invalid: " + empty.path()},
        {empty.folder(), "Can't open file: " + empty.folder()},
    };
    for (const auto& c : cases) {
        std::string error = "old";
        EXPECT_FALSE(TaviskEspSerialFlasher::flashBinary(bench.usb, c.path, {}, nullptr, &error));
        EXPECT_EQ(error, c.text);
        tavisk::test::LogCapture log;
        EXPECT_FALSE(TaviskEspSerialFlasher::flashBinary(bench.usb, c.path, {}, nullptr, nullptr));
        EXPECT_TRUE(log.lines().empty());
    }
    EXPECT_EQ(bench.line.bytesFromProgram(), 0u);
    EXPECT_FALSE(bench.beacon->handedOff());
}

TEST(FlasherLine, OpensUtf8Paths) {
    Bench bench;
    TempFile file(pattern(1024), "прошивка.bin");
    std::string error;
    EXPECT_TRUE(TaviskEspSerialFlasher::flashBinary(bench.usb, file.path(), {}, nullptr, &error)) << error;
}

// The loader would refuse it once connected: it is refused before the device is asked to
// switch its ESP32 to the bootloader, with the same text.
TEST(FlasherLine, MisalignedImageIsRefusedBeforeTheDeviceIsSwitched) {
    Bench bench;
    TempFile file(pattern(1023));
    std::string error;
    EXPECT_FALSE(TaviskEspSerialFlasher::flashBinary(bench.usb, file.path(), {}, nullptr, &error));
    EXPECT_EQ(error, "esp_loader_flash_start failed: 5");
    EXPECT_TRUE(bench.transcript().empty());
    EXPECT_FALSE(bench.beacon->handedOff());
    EXPECT_EQ(bench.beacon->requestCount(3), 0u) << "the bootloader-entry frame went out";
}

// What the front returns when the ROM loader misbehaves.
struct FaultCase {
    const char* name;
    std::function<void(tavisk::sim::SimRomConfig&, tavisk::sim::SimRomFaults&)> setUp;
    bool result;
    std::string error;  // when it fails
    std::string logged; // a line that must have been logged, whole (prefix and message), if any
    bool imageIntact;
};

// GoogleTest would print the raw bytes of the record, padding included.
void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

class FlasherFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FlasherFaults, FrontResult) {
    const FaultCase& c = GetParam();
    tavisk::sim::SimRomConfig config;
    tavisk::sim::SimRomFaults faults;
    c.setUp(config, faults);
    Bench bench(config);
    bench.rom->with([&](SimRomLoader& m) { m.faults() = faults; });
    const Bytes image = pattern(8 * 1024);
    TempFile file(image);
    tavisk::test::LogCapture log;
    std::string error;
    EXPECT_EQ(TaviskEspSerialFlasher::flashBinary(bench.usb, file.path(), {}, nullptr, &error), c.result);
    EXPECT_EQ(error, c.result ? "" : c.error);
    if (!c.logged.empty()) {
        const std::vector<std::string> texts = log.texts();
        EXPECT_NE(std::find(texts.begin(), texts.end(), c.logged), texts.end()) << c.logged;
    }
    if (c.imageIntact) {
        EXPECT_EQ(bench.flash(0, image.size()), image);
    }
}

using Cfg = tavisk::sim::SimRomConfig;
using Flt = tavisk::sim::SimRomFaults;

constexpr std::size_t kCorruptedAt = 3 * 1024 + 5;

// The front's text for the table's image with one bit flipped in the flash.
std::string corruptedText() {
    const Bytes image = pattern(8 * 1024);
    Bytes flash = image;
    flash[kCorruptedAt] ^= 0x01;
    return "ESP32 flash verification failed: the written image differs (MD5 of the image " +
           tavisk::test::hexText(SimRomLoader::md5(image.data(), image.size())) + ", of the flash " +
           tavisk::test::hexText(SimRomLoader::md5(flash.data(), flash.size())) + ")";
}
const FaultCase kFaults[] = {
    {"sync_unanswered_for_a_while", [](Cfg&, Flt& f) { f.silentSyncs = 3; }, true, "", "", true},
    {"sync_never_answered", [](Cfg&, Flt& f) { f.silentSyncs = 1000; }, false, "esp_loader_connect failed: 2",
     "", false},
    {"sync_error_status",
     [](Cfg&, Flt& f) {
         f.errorOpcode = 0x08;
         f.errors = 1;
     },
     false, "esp_loader_connect failed: 9", "EspSerialFlasherPort: Error: COMMAND_FAILED", false},
    {"security_query_unanswered", [](Cfg& c, Flt&) { c.security = tavisk::sim::SimRomSecurityForm::Silent; },
     true, "", "", true},
    {"two_status_bytes", [](Cfg& c, Flt&) { c.statusBytes = 2; }, true, "", "", true},
    {"unknown_chip",
     [](Cfg& c, Flt&) {
         c.registers = {{0x40001000, 0x12345678}};
     },
     false, "esp_loader_connect failed: 6", "", false},
    {"wrong_opcode_and_direction_before_answers",
     [](Cfg&, Flt& f) {
         f.decoyOpcode = 0x0A;
         f.decoys = 4;
     },
     true, "", "", true},
    {"flash_begin_error_status",
     [](Cfg&, Flt& f) {
         f.errorOpcode = 0x02;
         f.errors = 1;
         f.errorCode = 0xC6;
     },
     false, "esp_loader_flash_start failed: 9", "EspSerialFlasherPort: Error: NOT_IN_FLASH_MODE", false},
    {"bad_checksum_twice", [](Cfg&, Flt& f) { f.badChecksumBlocks = 2; }, true, "",
     "EspSerialFlasherPort: Error: BAD_DATA_CHECKSUM", true},
    {"bad_checksum_three_times", [](Cfg&, Flt& f) { f.badChecksumBlocks = 3; }, false,
     "esp_loader_flash_write failed: 9", "EspSerialFlasherPort: Error: BAD_DATA_CHECKSUM", false},
    {"late_block_answer",
     [](Cfg&, Flt& f) {
         f.lateAnswers = {{0x03, 0, 1, 1500ms}};
     },
     true, "", "", true},
    {"stuck_busy_bit", [](Cfg& c, Flt&) { c.busyReads = -1; }, true, "",
     "EspSerialFlasherPort: Flash size detection failed, falling back to default", true},
    {"late_flash_end",
     [](Cfg&, Flt& f) {
         f.lateAnswers = {{0x04, 0, 1, 1500ms}};
     },
     true, "", "EspSerialFlasher: esp_loader_flash_finish failed: 2", true},
    // Pairing the late answer with the block sent again would credit the refusal to the block
    // after it.
    {"late_block_answer_then_a_refused_block",
     [](Cfg&, Flt& f) {
         f.lateAnswers = {{0x03, 3, 1, 2500ms}};
         f.refuseBlock = 6;
         f.refusals = 1;
     },
     true, "", "EspSerialFlasherPort: Error: COMMAND_FAILED", true},
    {"flash_corrupted_after_the_write", [](Cfg&, Flt& f) { f.flipByteAt = kCorruptedAt; }, false,
     corruptedText(), "", false},
    {"hang_up_during_the_data",
     [](Cfg&, Flt& f) {
         f.hangUpOpcode = 0x03;
         f.hangUpAfter = 3;
     },
     false, "esp_loader_flash_write failed: 1", "", false},
};

INSTANTIATE_TEST_SUITE_P(Table, FlasherFaults, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });
} // namespace
