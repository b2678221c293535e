#include "core/WholeFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct WholeFileCase {
    const char* name;
    const char* file;    // below the scratch folder; "" names the folder itself
    std::string content; // written unless `file` is missing or the folder
    bool create;
    std::uint64_t limit;
    WholeFile::Status status;
    std::uint64_t size;
    friend void PrintTo(const WholeFileCase& c, std::ostream* os) { *os << c.name; }
};

class ReadWholeFile : public testing::TestWithParam<WholeFileCase> {};

TEST_P(ReadWholeFile, ReadsOrSaysWhyNot) {
    const WholeFileCase& c = GetParam();
    const fs::path folder = fs::path(testing::TempDir()) / (std::string("whole_file_") + c.name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path path = folder / fs::u8path(c.file);
    if (c.create) {
        std::ofstream out(path, std::ios::binary);
        out << c.content;
    }
    const WholeFile read = readWholeFile(path.u8string(), c.limit);
    EXPECT_EQ(read.status, c.status);
    EXPECT_EQ(read.size, c.size);
    const std::string bytes(read.bytes.begin(), read.bytes.end());
    EXPECT_EQ(bytes, c.status == WholeFile::READ ? c.content : std::string())
        << "bytes handed out on failure";
    fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadWholeFile,
    testing::Values(WholeFileCase{"image", "image.bin", std::string("\x00\x7E\xFF\r\n", 5), true, 100,
                                  WholeFile::READ, 5},
                    WholeFileCase{"empty", "empty.bin", "", true, 100, WholeFile::READ, 0},
                    WholeFileCase{"atTheLimit", "limit.bin", "12345", true, 5, WholeFile::READ, 5},
                    WholeFileCase{"overTheLimit", "large.bin", "123456", true, 5, WholeFile::TOO_LARGE, 6},
                    WholeFileCase{"utf8Name", "прошивка.bin", "abc", true, 100, WholeFile::READ, 3},
                    WholeFileCase{"missing", "missing.bin", "", false, 100, WholeFile::MISSING, 0},
                    WholeFileCase{"missingFolder", "gone/image.bin", "", false, 100, WholeFile::MISSING, 0},
                    WholeFileCase{"folder", "", "", false, 100, WholeFile::NOT_REGULAR, 0}),
    [](const testing::TestParamInfo<WholeFileCase>& info) { return std::string(info.param.name); });

} // namespace
