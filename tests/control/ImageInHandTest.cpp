// The image is in hand before anything is sent: through the real session and the simulated
// beacon, every image file ends in a refusal at once (nothing erased, the ESP32 left in its
// application), or in the bytes read at the start arriving whole, whatever the file becomes
// during the erase wait. Never in a success for other bytes, never in a wait.
#include "espflash/EspSerialFlasher.h"
#include "tests/control/UploadRig.h"
#include "tests/sim/beacon/SharedTestImage.h"
#include "tests/sim/rom/SimRomPeer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace tavisk::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using sim::SimBeacon;

const Bytes kImage = sim::sharedTestImage(20007);

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// What the image file is at Upload, or becomes while the device acknowledges the erase.
enum class File { NONE, MISSING, REGULAR, EMPTY, FIFO, DEVICE, OVER_THE_LIMIT };
enum class Later { NOTHING, EMPTIED, CUT_TO_3000, LINK_TO_64_BYTES, FIFO };

struct ImageCase {
    const char* name;
    FirmwareTarget target;
    File file;
    Later later;
    std::string cause; // of the refusal at Upload; empty: the upload succeeds with kImage
};

void PrintTo(const ImageCase& c, std::ostream* os) {
    *os << c.name;
}

class ImageInHand : public ::testing::TestWithParam<ImageCase> {
protected:
    ImageInHand() { rig.beacon().setBootloaderPeer(std::make_shared<sim::SimRomPeer>()); }
    void TearDown() override {
        if (HasFailure())
            log.printTail(std::cerr, 40);
    }

    // The file named for the upload, made as the case says.
    std::string prepare(const ImageCase& c) {
        const fs::path path = fs::u8path(rig.imagePath());
        switch (c.file) {
        case File::NONE:
            return {};
        case File::MISSING:
            fs::remove(path);
            break;
        case File::REGULAR:
            rig.setImage(kImage);
            break;
        case File::EMPTY:
            writeFile(path, {});
            break;
        case File::FIFO:
            fs::remove(path);
            ::mkfifo(path.c_str(), 0600);
            break;
        case File::DEVICE:
            return c.target == FirmwareTarget::STM32 ? "/dev/null" : "/dev/zero";
        case File::OVER_THE_LIMIT:
            writeFile(path, {1});
            fs::resize_file(path, RecordedUpload::limitFor(c.target) + 1); // sparse
            break;
        }
        return path.u8string();
    }

    void change(Later later) {
        const fs::path path = fs::u8path(rig.imagePath());
        switch (later) {
        case Later::NOTHING:
            break;
        case Later::EMPTIED:
            writeFile(path, {});
            break;
        case Later::CUT_TO_3000:
            fs::resize_file(path, 3000);
            break;
        case Later::LINK_TO_64_BYTES:
            writeFile(small.folder() + "/small.bin", sim::sharedTestImage(64));
            fs::remove(path);
            fs::create_symlink(small.folder() + "/small.bin", path);
            break;
        case Later::FIFO:
            fs::remove(path);
            ::mkfifo(path.c_str(), 0600);
            break;
        }
    }

    // The Upload button for the target, bounded: a start that waits is a failure, and a FIFO
    // it waits on is opened from here to free it.
    bool start(FirmwareTarget target, const std::string& path) {
        BeaconSession& session = rig.session();
        auto started = std::async(std::launch::async, [&] {
            return target == FirmwareTarget::STM32 ? session.startStm32Upload(path) : session.startEsp32Flash(path);
        });
        if (started.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "the upload's start waited on " << path;
            const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                ::close(writer);
        }
        return started.get();
    }

    LogCapture log;
    const TempFile small{{}, "unused.bin"};
    UploadRig rig;
};

TEST_P(ImageInHand, IsRefusedAtOnceOrArrivesAsItWasRead) {
    const ImageCase& c = GetParam();
    rig.beacon().setExpectedImage(kImage);
    // The erase is acknowledged late: the file is changed while the device is being erased.
    rig.beacon().addFault({SimBeacon::Fault::Late, 3, 0, 800ms, 0});
    std::string error;
    ASSERT_TRUE(rig.connect(&error)) << error;
    const std::string path = prepare(c);

    if (!c.cause.empty()) {
        EXPECT_FALSE(start(c.target, path));
        EXPECT_EQ(log.count("MainWindow: File path is empty or did't exist", BaseLogger::WARNING), 1u);
        const char* target = c.target == FirmwareTarget::STM32 ? "STM32" : "ESP32";
        const std::string refusal =
            std::string("MainWindow: ") + target + " image refused: " + (path.empty() ? "" : path + ": ") + c.cause;
        EXPECT_EQ(log.count(refusal, BaseLogger::WARNING), 1u) << refusal;
        // Nothing was erased, the ESP32 was not switched over, and the line is free.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(rig.beacon().requestCount(3), 0u);
        EXPECT_FALSE(rig.beacon().handedOff());
        EXPECT_EQ(rig.session().runningJob(), LineOwner::Job::NONE);
        return;
    }
    ASSERT_TRUE(rig.startUpload()) << "the erase code was not written";
    change(c.later);
    const BeaconSession::UploadTick end = rig.runUpload(60s);
    ASSERT_TRUE(end.ended) << "the upload did not end";
    EXPECT_TRUE(end.succeeded) << end.failure;
    EXPECT_EQ(rig.beacon().receivedImage(), kImage);
    EXPECT_TRUE(rig.beacon().imageMatches());
    EXPECT_EQ(rig.beacon().violations(), std::vector<std::string>{});
}

std::string overTheLimit(FirmwareTarget target) {
    const std::uint64_t limit = RecordedUpload::limitFor(target);
    return "the file holds " + std::to_string(limit + 1) + " bytes, more than the " + std::to_string(limit) +
           " bytes allowed";
}

INSTANTIATE_TEST_SUITE_P(
    , ImageInHand,
    ::testing::Values(
        ImageCase{"stm32_unchanged", FirmwareTarget::STM32, File::REGULAR, Later::NOTHING, ""},
        ImageCase{"stm32_emptied_during_the_erase", FirmwareTarget::STM32, File::REGULAR, Later::EMPTIED, ""},
        ImageCase{"stm32_cut_during_the_erase", FirmwareTarget::STM32, File::REGULAR, Later::CUT_TO_3000, ""},
        ImageCase{"stm32_swapped_for_a_link_during_the_erase", FirmwareTarget::STM32, File::REGULAR,
                  Later::LINK_TO_64_BYTES, ""},
        ImageCase{"stm32_swapped_for_a_fifo_during_the_erase", FirmwareTarget::STM32, File::REGULAR, Later::FIFO,
                  ""},
        ImageCase{"stm32_none_chosen", FirmwareTarget::STM32, File::NONE, Later::NOTHING, "no file is chosen"},
        ImageCase{"esp32_none_chosen", FirmwareTarget::ESP32, File::NONE, Later::NOTHING, "no file is chosen"},
        ImageCase{"stm32_missing", FirmwareTarget::STM32, File::MISSING, Later::NOTHING, "the file does not exist"},
        ImageCase{"stm32_empty", FirmwareTarget::STM32, File::EMPTY, Later::NOTHING, "the file is empty"},
        ImageCase{"esp32_not_whole_words", FirmwareTarget::ESP32, File::REGULAR, Later::NOTHING,
                  "the ESP32's loader would refuse it: its size of 20007 bytes is not a multiple of 4 (the loader "
                  "writes whole 32-bit words)"},
        ImageCase{"stm32_fifo", FirmwareTarget::STM32, File::FIFO, Later::NOTHING, "not a regular file but a FIFO"},
        ImageCase{"esp32_fifo", FirmwareTarget::ESP32, File::FIFO, Later::NOTHING, "not a regular file but a FIFO"},
        ImageCase{"stm32_device_node", FirmwareTarget::STM32, File::DEVICE, Later::NOTHING,
                  "not a regular file but a device node"},
        ImageCase{"esp32_device_node", FirmwareTarget::ESP32, File::DEVICE, Later::NOTHING,
                  "not a regular file but a device node"},
        ImageCase{"stm32_over_the_limit", FirmwareTarget::STM32, File::OVER_THE_LIMIT, Later::NOTHING,
                  overTheLimit(FirmwareTarget::STM32)},
        ImageCase{"esp32_over_the_limit", FirmwareTarget::ESP32, File::OVER_THE_LIMIT, Later::NOTHING,
                  overTheLimit(FirmwareTarget::ESP32)}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavisk::test
