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

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace tavisk::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using sim::SimBeacon;

const Bytes kImage = sim::sharedTestImage(20007);
const char* const kNoImage = "MainWindow: File path is empty or did't exist";

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// What the image file is at Upload, or becomes while the device acknowledges the erase.
enum class File { NONE, MISSING, REGULAR, EMPTY, FIFO, FOLDER, DEVICE, OVER_THE_LIMIT, ENDS_BEFORE_ITS_SIZE };
enum class Later { NOTHING, EMPTIED, CUT_TO_3000, LINK_TO_64_BYTES, FIFO };

// A file whose read ends before the size it gives (sysfs gives 4096 for a few bytes).
const char* const kShortFile = "/sys/devices/system/cpu/online";

struct ImageCase {
    const char* name;
    FirmwareTarget target;
    File file;
    Later later;
    // The lines of the refusal at Upload, whole and in this order, "{path}" standing for the
    // file's path; none: the upload succeeds with kImage.
    std::vector<LogLine> refusal;
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
        case File::FOLDER:
            fs::remove(path);
            fs::create_directory(path);
            break;
        case File::DEVICE:
            return c.target == FirmwareTarget::STM32 ? "/dev/null" : "/dev/zero";
        case File::ENDS_BEFORE_ITS_SIZE:
            return kShortFile;
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
            return target == FirmwareTarget::STM32 ? session.startStm32Upload(path)
                                                   : session.startEsp32Flash(path);
        });
        if (started.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "the upload's start waited on " << path;
            const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                ::close(writer);
        }
        return started.get();
    }

    // Whether each line was logged whole, after the one before it (others may come between).
    ::testing::AssertionResult loggedInOrder(const std::vector<LogLine>& expected, const std::string& path) {
        const std::vector<LogLine> all = log.lines();
        auto at = all.begin();
        for (LogLine line : expected) {
            for (std::size_t p; (p = line.text.find("{path}")) != std::string::npos;)
                line.text.replace(p, 6, path);
            at = std::find_if(at, all.end(),
                              [&](const LogLine& l) { return l.type == line.type && l.text == line.text; });
            if (at == all.end())
                return ::testing::AssertionFailure()
                       << "no line \"" << line.text << "\" (after the ones before it)";
            ++at;
        }
        return ::testing::AssertionSuccess();
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

    if (c.file == File::ENDS_BEFORE_ITS_SIZE && !fs::is_regular_file(kShortFile))
        GTEST_SKIP() << "no " << kShortFile << " on this system";

    if (!c.refusal.empty()) {
        EXPECT_FALSE(start(c.target, path));
        EXPECT_TRUE(loggedInOrder(c.refusal, path));
        // The line for an empty path, and only where it is one of the refusal's.
        const LogLine noImage{BaseLogger::WARNING, kNoImage};
        const bool listed = std::any_of(c.refusal.begin(), c.refusal.end(),
                                        [&](const LogLine& l) { return l.text == noImage.text; });
        EXPECT_EQ(log.countWhole(noImage.text, noImage.type), listed ? 1u : 0u);
        // The engine's lines only where they are listed: not for a file that it would load.
        const auto engineLines =
            static_cast<std::size_t>(std::count_if(c.refusal.begin(), c.refusal.end(), [](const LogLine& l) {
                return l.text.rfind("PayloadHandler: ", 0) == 0;
            }));
        EXPECT_EQ(log.count("PayloadHandler: Can't ", BaseLogger::ERROR), engineLines);
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

// What the reader says of kShortFile: the bytes it holds, of the size it gives.
std::string shortFileCause() {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(kShortFile, error);
    std::ifstream in(kShortFile, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return "the file cannot be read (it ended after " + std::to_string(content.size()) + " of " +
           std::to_string(error ? 0 : size) + " bytes)";
}

// How the engine refuses a file it cannot load: "open", "get file size" or "read".
std::vector<LogLine> engineCannot(const std::string& what) {
    return {{BaseLogger::ERROR, "PayloadHandler: Can't " + what + " file."},
            {BaseLogger::ERROR, "PayloadHandler: Can't " + what + " file: {path}"}};
}

// An STM32 image refused at Upload: the engine's lines for a file it could not have loaded
// (none for one it would have: empty, or over the upload's limit), then the cause.
std::vector<LogLine> stm32Refused(std::vector<LogLine> engine, const std::string& cause) {
    engine.push_back({BaseLogger::WARNING, "MainWindow: STM32 image refused: " + cause});
    return engine;
}

// An ESP32 image refused at Upload: the flasher's own text for the file, then the cause.
std::vector<LogLine> esp32Refused(const std::string& front, const std::string& cause) {
    return {{BaseLogger::ERROR, "MainWindow: ESP32 flashing failed: " + front},
            {BaseLogger::WARNING, "MainWindow: ESP32 image refused: {path}: " + cause}};
}

INSTANTIATE_TEST_SUITE_P(
    , ImageInHand,
    ::testing::Values(
        ImageCase{"stm32_unchanged", FirmwareTarget::STM32, File::REGULAR, Later::NOTHING, {}},
        ImageCase{"stm32_emptied_during_the_erase", FirmwareTarget::STM32, File::REGULAR, Later::EMPTIED, {}},
        ImageCase{"stm32_cut_during_the_erase", FirmwareTarget::STM32, File::REGULAR, Later::CUT_TO_3000, {}},
        ImageCase{"stm32_swapped_for_a_link_during_the_erase",
                  FirmwareTarget::STM32,
                  File::REGULAR,
                  Later::LINK_TO_64_BYTES,
                  {}},
        ImageCase{"stm32_swapped_for_a_fifo_during_the_erase",
                  FirmwareTarget::STM32,
                  File::REGULAR,
                  Later::FIFO,
                  {}},
        ImageCase{"stm32_none_chosen", FirmwareTarget::STM32, File::NONE, Later::NOTHING,
                  stm32Refused({{BaseLogger::WARNING, kNoImage}}, "no file is chosen")},
        ImageCase{"esp32_none_chosen",
                  FirmwareTarget::ESP32,
                  File::NONE,
                  Later::NOTHING,
                  {{BaseLogger::WARNING, kNoImage},
                   {BaseLogger::WARNING, "MainWindow: ESP32 image refused: no file is chosen"}}},
        ImageCase{"stm32_missing", FirmwareTarget::STM32, File::MISSING, Later::NOTHING,
                  stm32Refused(engineCannot("open"), "{path}: the file does not exist")},
        ImageCase{"esp32_missing", FirmwareTarget::ESP32, File::MISSING, Later::NOTHING,
                  esp32Refused("Can't open file: {path}", "the file does not exist")},
        ImageCase{"stm32_empty", FirmwareTarget::STM32, File::EMPTY, Later::NOTHING,
                  stm32Refused({}, "{path}: the file is empty")},
        ImageCase{"esp32_empty", FirmwareTarget::ESP32, File::EMPTY, Later::NOTHING,
                  esp32Refused("File is empty or size is invalid: {path}", "the file is empty")},
        ImageCase{"stm32_ends_before_its_size", FirmwareTarget::STM32, File::ENDS_BEFORE_ITS_SIZE,
                  Later::NOTHING, stm32Refused(engineCannot("read"), "{path}: " + shortFileCause())},
        ImageCase{"esp32_ends_before_its_size", FirmwareTarget::ESP32, File::ENDS_BEFORE_ITS_SIZE,
                  Later::NOTHING, esp32Refused("Can't read file: {path}", shortFileCause())},
        // The loader's own failure, found before the device is switched; no line about the
        // file, which is there and was read.
        ImageCase{"esp32_not_whole_words",
                  FirmwareTarget::ESP32,
                  File::REGULAR,
                  Later::NOTHING,
                  {{BaseLogger::ERROR, "MainWindow: ESP32 flashing failed: esp_loader_flash_start failed: 5"},
                   {BaseLogger::ERROR,
                    "MainWindow: esp_loader_flash_start failed: 5 means an invalid argument: its "
                    "size of 20007 bytes is not a multiple of 4 (the loader writes whole 32-bit "
                    "words)"}}},
        ImageCase{"stm32_fifo", FirmwareTarget::STM32, File::FIFO, Later::NOTHING,
                  stm32Refused(engineCannot("open"), "{path}: not a regular file but a FIFO")},
        ImageCase{"stm32_folder", FirmwareTarget::STM32, File::FOLDER, Later::NOTHING,
                  stm32Refused(engineCannot("open"), "{path}: not a regular file but a folder")},
        ImageCase{"esp32_fifo", FirmwareTarget::ESP32, File::FIFO, Later::NOTHING,
                  esp32Refused("Can't open file: {path}", "not a regular file but a FIFO")},
        ImageCase{"stm32_device_node", FirmwareTarget::STM32, File::DEVICE, Later::NOTHING,
                  stm32Refused(engineCannot("open"), "{path}: not a regular file but a device node")},
        ImageCase{"esp32_device_node", FirmwareTarget::ESP32, File::DEVICE, Later::NOTHING,
                  esp32Refused("Can't open file: {path}", "not a regular file but a device node")},
        ImageCase{"stm32_over_the_limit", FirmwareTarget::STM32, File::OVER_THE_LIMIT, Later::NOTHING,
                  stm32Refused({}, "{path}: " + overTheLimit(FirmwareTarget::STM32))},
        ImageCase{
            "esp32_over_the_limit", FirmwareTarget::ESP32, File::OVER_THE_LIMIT, Later::NOTHING,
            esp32Refused("File is empty or size is invalid: {path}", overTheLimit(FirmwareTarget::ESP32))}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavisk::test
