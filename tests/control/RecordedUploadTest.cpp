#include "control/RecordedUpload.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class Scratch {
public:
    Scratch() {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        folder = fs::temp_directory_path() / ("tavisk-recorded-upload-" + std::to_string(stamp));
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

TEST(RecordedUpload, OnlyANonEmptyReadableFileBelowFourGiBIsAnImage) {
    Scratch scratch;
    constexpr std::uintmax_t fourGiB = std::uintmax_t{1} << 32;
    struct Case {
        const char* name;
        std::string path;
        bool uploadable;
    };
    const Case cases[] = {
        {"a file", scratch.file("image.bin", 3000), true},
        {"one byte", scratch.file("one.bin", 1), true},
        {"a non-ASCII name", scratch.file(u8"прошивка.bin", 64), true},
        {"just below 4 GiB", scratch.file("large.bin", fourGiB - 1), true},
        {"4 GiB", scratch.file("huge.bin", fourGiB), false},
        {"an empty file", scratch.file("empty.bin", 0), false},
        {"an empty path", "", false},
        {"a missing file", (scratch.folder / "missing.bin").u8string(), false},
        {"a folder", scratch.folder.u8string(), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RecordedUpload::isUploadableImage(c.path), c.uploadable) << c.name;
}

TEST(RecordedUpload, AnStm32UploadWithoutAnImageLeavesTheRecordAlone) {
    Scratch scratch;
    const std::string image = scratch.file("image.bin", 100);
    RecordedUpload upload;
    EXPECT_EQ(upload.get().path, "");

    ASSERT_TRUE(upload.record(RecordedUpload::STM32, image));
    EXPECT_FALSE(upload.record(RecordedUpload::STM32, scratch.file("empty.bin", 0)));
    EXPECT_FALSE(upload.record(RecordedUpload::STM32, ""));
    EXPECT_EQ(upload.get().target, RecordedUpload::STM32);
    EXPECT_EQ(upload.get().path, image);

    // The ESP32 flasher checks its image itself, before it sends anything.
    EXPECT_TRUE(upload.record(RecordedUpload::ESP32, "not checked here"));
    EXPECT_EQ(upload.get().target, RecordedUpload::ESP32);
    EXPECT_EQ(upload.get().path, "not checked here");
}

} // namespace
