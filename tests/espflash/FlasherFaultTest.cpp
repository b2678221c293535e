// The flasher front against a misbehaving simulated ROM loader, on the virtual clock: whatever
// the loader does, the front answers true only when the chip holds the image byte for byte.
#include "espflash/EspSerialFlasher.h"
#include "link/UsbCommunication.h"
#include "tests/espflash/FakeLoaderPort.h"
#include "tests/espflash/LoaderTestSupport.h"
#include "tests/sim/rom/SimRomLoader.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>

namespace {
using namespace std::chrono_literals;
using tavisk::sim::SimRomConfig;
using tavisk::sim::SimRomFaults;
using tavisk::sim::SimRomLoader;
using tavisk::test::FakeLoaderPort;
using tavisk::test::TempFile;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBlock = 1024;
constexpr std::uint8_t kFlashData = 0x03;
constexpr std::uint8_t kReadReg = 0x0A;
constexpr std::uint8_t kFlashMd5 = 0x13;
const std::string kDiffers = "ESP32 flash verification failed: the written image differs (MD5 ";
const std::string kUnverified = "ESP32 flash verification failed: the written image could not be verified";

// One flash through the front, with the simulated ROM loader on the fake port.
struct FrontRun {
    explicit FrontRun(const SimRomConfig& config, const SimRomFaults& faults = {}) : rom(config) {
        rom.faults() = faults;
        port.attach(&rom);
    }
    bool flash(const Bytes& image, std::uint32_t offset = 0, bool reboot = false) {
        TempFile file(image);
        return TaviskEspSerialFlasher::flashBinary(
            usb, file.path(), {offset, kBlock, reboot}, [&](unsigned char p) { progress.push_back(p); },
            &error);
    }
    std::size_t count(const std::string& prefix) const {
        const auto lines = rom.transcriptLines();
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }

    SimRomLoader rom;
    FakeLoaderPort port;
    UsbCommunication usb; // handed to the front, never connected
    std::vector<unsigned> progress;
    std::string error;
};

// Register reads made before the write starts (connection, chip detection, flash size): the
// fences come after them.
int readsBeforeTheWrite() {
    FrontRun clean{SimRomConfig{}};
    EXPECT_TRUE(clean.flash(TempFile::pattern(4 * kBlock))) << clean.error;
    int reads = 0;
    for (const auto& c : clean.rom.commands()) {
        if (c.opcode == 0x02) // FLASH_BEGIN
            break;
        reads += c.opcode == kReadReg;
    }
    return reads;
}

struct WriteFault {
    const char* name;
    std::function<void(SimRomFaults&, int readsBefore)> setUp;
    // Expected error text (its beginning) with and without the check of sequence numbers;
    // empty: the flash succeeds.
    std::string errorWithCheck;
    std::string errorWithoutCheck;
};

void PrintTo(const WriteFault& f, std::ostream* out) {
    *out << f.name;
}

tavisk::sim::SimRomLate lateBlock(int block, std::chrono::milliseconds by) {
    return {kFlashData, block, 1, by};
}

const WriteFault kWriteFaults[] = {
    {"answer_late_1500ms", [](SimRomFaults& f, int) { f.lateAnswers = {lateBlock(3, 1500ms)}; }, "", ""},
    {"answer_late_2500ms", [](SimRomFaults& f, int) { f.lateAnswers = {lateBlock(3, 2500ms)}; }, "", ""},
    {"answer_late_4000ms", [](SimRomFaults& f, int) { f.lateAnswers = {lateBlock(3, 4000ms)}; }, "", ""},
    {"answer_late_2500ms_then_a_block_refused",
     [](SimRomFaults& f, int) {
         f.lateAnswers = {lateBlock(3, 2500ms)};
         f.refuseBlock = 9;
         f.refusals = 1;
     },
     "", ""},
    {"answer_late_4000ms_then_a_block_refused",
     [](SimRomFaults& f, int) {
         f.lateAnswers = {lateBlock(3, 4000ms)};
         f.refuseBlock = 9;
         f.refusals = 1;
     },
     "", ""},
    // The chip wrote the block; sent again, a loader that ignores the number writes it at the
    // next place, and refuses the last block as one too many.
    {"answer_lost",
     [](SimRomFaults& f, int) {
         f.silentOpcode = kFlashData;
         f.silentAfter = 3;
         f.silents = 1;
     },
     "", "esp_loader_flash_write failed: 9"},
    {"two_refusals_in_a_row",
     [](SimRomFaults& f, int) {
         f.refuseBlock = 5;
         f.refusals = 2;
     },
     "", ""},
    {"three_refusals_in_a_row",
     [](SimRomFaults& f, int) {
         f.refuseBlock = 5;
         f.refusals = 3;
     },
     "esp_loader_flash_write failed: 9", "esp_loader_flash_write failed: 9"},
    {"answer_late_and_the_fence_later_than_its_deadline",
     [](SimRomFaults& f, int readsBefore) {
         f.lateAnswers = {lateBlock(3, 2500ms), {kReadReg, readsBefore, 1, 4000ms}};
     },
     "", ""},
    {"answer_lost_and_the_fence_later_than_its_deadline",
     [](SimRomFaults& f, int readsBefore) {
         f.silentOpcode = kFlashData;
         f.silentAfter = 3;
         f.silents = 1;
         f.lateAnswers = {{kReadReg, readsBefore, 1, 4000ms}};
     },
     "", "esp_loader_flash_write failed: 9"},
    // The fence's answer is lost too: the fence sent after it serves all the same.
    {"answer_lost_and_the_fence_answer_lost",
     [](SimRomFaults& f, int readsBefore) {
         f.lostAnswers = {{kFlashData, 3, 1}, {kReadReg, readsBefore, 1}};
     },
     "", "esp_loader_flash_write failed: 9"},
    {"answer_lost_and_the_fence_answer_garbled",
     [](SimRomFaults& f, int readsBefore) {
         f.lostAnswers = {{kFlashData, 3, 1}, {kReadReg, readsBefore, 1, true}};
     },
     "", "esp_loader_flash_write failed: 9"},
    // Both fences' answers come after the next block's deadline, and that block's answer behind
    // them: taken for the next block's fence, they would pair every later block with the answer
    // of the one before, and the refusal would pass for the next block's answer.
    {"answer_late_and_the_fence_answers_behind_the_next_block",
     [](SimRomFaults& f, int readsBefore) {
         f.lateAnswers = {lateBlock(3, 2500ms), {kReadReg, readsBefore, 1, 7500ms}};
         f.refuseBlock = 9;
         f.refusals = 1;
     },
     "", ""},
    // The first of them arrives garbled while the next block waits: it may have been its answer
    // or the fence's, so the block is not sent again before a fence.
    {"answer_late_and_a_fence_answer_garbled_in_the_next_block",
     [](SimRomFaults& f, int readsBefore) {
         f.lateAnswers = {lateBlock(3, 2500ms), {kReadReg, readsBefore, 1, 6500ms}};
         f.lostAnswers = {{kReadReg, readsBefore, 1, true}};
         f.refuseBlock = 9;
         f.refusals = 1;
     },
     "", ""},
    // The late answer already showed that the chip took the block.
    {"answer_late_and_no_fence_answered",
     [](SimRomFaults& f, int readsBefore) {
         f.lateAnswers = {lateBlock(3, 1500ms)};
         f.silentOpcode = kReadReg;
         f.silentAfter = readsBefore;
         f.silents = 1000;
     },
     "", ""},
    {"answer_lost_and_no_fence_answered",
     [](SimRomFaults& f, int readsBefore) {
         // Later than all three attempts: as good as lost.
         f.lateAnswers = {{kFlashData, 3, 1, 10000ms}};
         f.silentOpcode = kReadReg;
         f.silentAfter = readsBefore;
         f.silents = 1000;
     },
     "esp_loader_flash_write failed: 2", "esp_loader_flash_write failed: 2"},
    {"flash_corrupted_after_the_write", [](SimRomFaults& f, int) { f.flipByteAt = 5 * kBlock + 17; },
     kDiffers, kDiffers},
    {"digest_answered_with_a_failure",
     [](SimRomFaults& f, int) {
         f.errorOpcode = kFlashMd5;
         f.errors = 1;
     },
     kUnverified, kUnverified},
    {"digest_never_answered",
     [](SimRomFaults& f, int) {
         f.silentOpcode = kFlashMd5;
         f.silents = 1;
     },
     kUnverified, kUnverified},
};

class FlasherFaults : public ::testing::TestWithParam<std::tuple<WriteFault, bool>> {
protected:
    static void SetUpTestSuite() { readsBefore = readsBeforeTheWrite(); }
    static int readsBefore;
};
int FlasherFaults::readsBefore = 0;

TEST_P(FlasherFaults, TrueOnlyWithTheImageInTheFlash) {
    const WriteFault& c = std::get<0>(GetParam());
    const bool checkSequence = std::get<1>(GetParam());
    SimRomConfig config;
    config.checkSequence = checkSequence;
    SimRomFaults faults;
    c.setUp(faults, readsBefore);
    FrontRun run(config, faults);
    const Bytes image = TempFile::pattern(16 * kBlock - 12);

    const bool ok = run.flash(image);

    const std::string& expected = checkSequence ? c.errorWithCheck : c.errorWithoutCheck;
    if (ok) {
        EXPECT_EQ(Bytes(run.rom.flash().begin(), run.rom.flash().begin() + image.size()), image);
        EXPECT_EQ(run.progress.back(), 100u);
    } else {
        EXPECT_FALSE(run.error.empty());
        EXPECT_TRUE(run.progress.empty() || run.progress.back() < 100u);
    }
    EXPECT_EQ(ok, expected.empty()) << run.error;
    EXPECT_EQ(run.error.substr(0, expected.size()), expected);
    if (expected == kDiffers) {
        const Bytes written(run.rom.flash().begin(), run.rom.flash().begin() + image.size());
        EXPECT_EQ(run.error, kDiffers + "of the image " +
                                 tavisk::test::hexText(SimRomLoader::md5(image.data(), image.size())) +
                                 ", of the flash " +
                                 tavisk::test::hexText(SimRomLoader::md5(written.data(), written.size())) +
                                 ")");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FlasherFaults,
                         ::testing::Combine(::testing::ValuesIn(kWriteFaults), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_sequence_checked" : "_sequence_ignored");
                         });

// The digest is asked for after the end command, unless the chip is to reboot: then it would
// no longer answer, so the digest comes first and the reboot only for a verified image.
TEST(FlasherVerification, DigestAndEndCommandInOrder) {
    const struct {
        const char* name;
        bool reboot;
        bool digestRefused;
        std::vector<std::string> tail;
        bool result;
    } cases[] = {
        {"stays in the loader",
         false,
         false,
         {"FLASH_END 0x00000001", "SPI_FLASH_MD5 0x00010000 0x00000BF4 0x00000000 0x00000000"},
         true},
        {"reboots",
         true,
         false,
         {"SPI_FLASH_MD5 0x00010000 0x00000BF4 0x00000000 0x00000000", "FLASH_END 0x00000000"},
         true},
        {"no reboot into an image not verified",
         true,
         true,
         {"SPI_FLASH_MD5 0x00010000 0x00000BF4 0x00000000 0x00000000", "FLASH_END 0x00000001"},
         false},
    };
    for (const auto& c : cases) {
        SimRomFaults faults;
        if (c.digestRefused) {
            faults.errorOpcode = kFlashMd5;
            faults.errors = 1;
        }
        FrontRun run(SimRomConfig{}, faults);
        EXPECT_EQ(run.flash(TempFile::pattern(3 * kBlock - 12), 0x10000, c.reboot), c.result) << c.name;
        const auto lines = run.rom.transcriptLines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()), c.tail) << c.name;
        EXPECT_EQ(run.rom.running(), !(c.reboot && c.result)) << c.name;
    }
}

TEST(FlasherVerification, Esp8266WriteStandsWithAWarning) {
    SimRomConfig config;
    config.registers = {{0x40001000, 0xFFF0C101}};
    FrontRun run(config);
    const Bytes image = TempFile::pattern(2 * kBlock);
    tavisk::test::LogCapture log;
    ASSERT_TRUE(run.flash(image)) << run.error;
    EXPECT_EQ(log.count("The written image was not verified: this chip's ROM loader has no MD5 command",
                        BaseLogger::WARNING),
              1u);
    EXPECT_EQ(run.count("SPI_FLASH_MD5"), 0u);
    EXPECT_EQ(run.progress, (std::vector<unsigned>{50, 99, 100}));
    EXPECT_EQ(Bytes(run.rom.flash().begin(), run.rom.flash().begin() + image.size()), image);
}
} // namespace
