#include "control/RecordedUpload.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

class Scratch {
public:
    Scratch() {
        // Unique across the test processes that CTest runs side by side: a clock reading alone
        // may be the same in two of them.
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        folder = fs::temp_directory_path() / ("tavisk-recorded-upload-" + std::to_string(stamp) + "-" +
                                              std::to_string(std::random_device{}()));
        fs::create_directories(folder);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    std::string file(const std::string& name, std::uintmax_t size) const {
        const fs::path path = folder / fs::u8path(name);
        std::ofstream(path, std::ios::binary).put('x');
        fs::resize_file(path, size); // sparse: no room is taken for the large ones
        return path.u8string();
    }
    fs::path folder;
};

TEST(RecordedUpload, OnlyANonEmptyRegularFileWithinTheTargetsLimitIsRecorded) {
    Scratch scratch;
    const std::uint64_t stm32Limit = RecordedUpload::limitFor(FirmwareTarget::STM32);
    const std::uint64_t esp32Limit = RecordedUpload::limitFor(FirmwareTarget::ESP32);
    struct Case {
        const char* name;
        FirmwareTarget target;
        std::string path;
        const char* cause; // a fragment of the refusal; null: recorded
        WholeFile::Status status = WholeFile::READ;
    };
    const Case cases[] = {
        {"a file", FirmwareTarget::STM32, scratch.file("image.bin", 3000), nullptr},
        {"one byte", FirmwareTarget::STM32, scratch.file("one.bin", 1), nullptr},
        {"a non-ASCII name", FirmwareTarget::STM32, scratch.file(u8"прошивка.bin", 64), nullptr},
        {"at the STM32 limit", FirmwareTarget::STM32, scratch.file("limit.bin", stm32Limit), nullptr},
        {"over the STM32 limit", FirmwareTarget::STM32, scratch.file("over.bin", stm32Limit + 1), "more than",
         WholeFile::TOO_LARGE},
        {"over the STM32 limit, for the ESP32", FirmwareTarget::ESP32,
         scratch.file("over.bin", stm32Limit + 1), nullptr},
        {"over the ESP32 limit", FirmwareTarget::ESP32, scratch.file("huge.bin", esp32Limit + 1), "more than",
         WholeFile::TOO_LARGE},
        {"an empty file", FirmwareTarget::STM32, scratch.file("empty.bin", 0), "the file is empty"},
        {"an empty path", FirmwareTarget::ESP32, "", "no file is chosen"},
        {"a missing file", FirmwareTarget::STM32, (scratch.folder / "missing.bin").u8string(),
         "does not exist", WholeFile::MISSING},
        {"a folder", FirmwareTarget::ESP32, scratch.folder.u8string(), "not a regular file but a folder",
         WholeFile::NOT_REGULAR},
    };
    for (const Case& c : cases) {
        RecordedUpload upload;
        RecordedUpload::Refusal refusal;
        const bool recorded = upload.record(c.target, c.path, refusal);
        const std::string& cause = refusal.cause;
        EXPECT_EQ(recorded, c.cause == nullptr) << c.name << ": " << cause;
        EXPECT_EQ(refusal.status, c.status) << c.name;
        if (c.cause)
            EXPECT_NE(cause.find(c.cause), std::string::npos) << c.name << ": " << cause;
        else
            EXPECT_EQ(upload.get().image->size(), fs::file_size(fs::u8path(c.path))) << c.name;
    }
}

TEST(RecordedUpload, ARefusedImageLeavesTheLastRecordAndItsBytesAlone) {
    Scratch scratch;
    const std::string image = scratch.file("image.bin", 100);
    RecordedUpload upload;
    EXPECT_EQ(upload.get().path, "");
    EXPECT_EQ(upload.get().image, nullptr);

    RecordedUpload::Refusal cause;
    ASSERT_TRUE(upload.record(FirmwareTarget::STM32, image, cause));
    // What was read stays what is sent, whatever becomes of the file.
    fs::resize_file(fs::u8path(image), 3);
    EXPECT_FALSE(upload.record(FirmwareTarget::ESP32, scratch.file("empty.bin", 0), cause));
    EXPECT_FALSE(upload.record(FirmwareTarget::STM32, "", cause));
    EXPECT_EQ(upload.get().target, FirmwareTarget::STM32);
    EXPECT_EQ(upload.get().path, image);
    ASSERT_NE(upload.get().image, nullptr);
    EXPECT_EQ(upload.get().image->size(), 100u);
}

} // namespace
