// The preinstalled images' copies on disk, without a display and without GIO: the images come
// from a table of the test's own.
#include "core/FirmwareCopies.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using tavisk::test::LogCapture;

namespace {

const std::string kImage = "/images/esp32.bin";
const std::string kName = "esp32.bin";
const std::string kBytes = std::string("\xE9\x03\x02\x20", 4) + std::string(1000, '\x5A');

class FirmwareCopiesTest : public testing::Test {
protected:
    FirmwareCopiesTest() { fs::remove_all(folder); }
    ~FirmwareCopiesTest() override { fs::remove_all(folder); }

    FirmwareCopies::Reader reader() {
        return [this](const std::string& path, std::vector<std::uint8_t>& bytes, std::string& reason) {
            const auto it = images.find(path);
            if (it == images.end()) {
                reason = "no such image";
                return false;
            }
            bytes.assign(it->second.begin(), it->second.end());
            return true;
        };
    }
    fs::path copy() const { return folder / "firmware" / kName; }
    static std::string read(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    static void write(const fs::path& file, const std::string& content) {
        std::ofstream(file, std::ios::binary) << content;
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(folder / "firmware"), fs::directory_iterator()));
    }
    std::size_t errors(const std::string& fragment) const { return log.count(fragment, BaseLogger::ERROR); }

    // A folder of this test's own, in place of the program's folder in the temporary folder.
    static fs::path testFolder() {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("firmware_copies_") + info->name();
        for (char& c : name)
            if (c == '/')
                c = '_';
        return fs::path(testing::TempDir()) / name;
    }

    LogCapture log;
    const fs::path folder = testFolder();
    std::map<std::string, std::string> images{{kImage, kBytes}};
    FirmwareCopies copies{folder, "Owner: ", reader()};
};

TEST_F(FirmwareCopiesTest, WritesTheCopyWhereItBelongs) {
    EXPECT_EQ(copies.ensure(kImage, kName), copy().u8string());
    EXPECT_EQ(read(copy()), kBytes);
    EXPECT_EQ(entries(), 1u) << "something beside the copy stayed behind";
    EXPECT_TRUE(log.lines().empty());
}

struct ExistingCase {
    const char* name;
    std::string content;
    bool kept;
    friend void PrintTo(const ExistingCase& c, std::ostream* os) { *os << c.name; }
};

class ExistingCopy : public FirmwareCopiesTest, public testing::WithParamInterface<ExistingCase> {};

// Kept or not is seen from the time of the last write, which a rewrite moves.
TEST_P(ExistingCopy, IsKeptOnlyWhenItHoldsTheImage) {
    const ExistingCase& c = GetParam();
    ASSERT_EQ(copies.ensure(kImage, kName), copy().u8string());
    write(copy(), c.content);
    const auto old = fs::last_write_time(copy()) - std::chrono::hours(1);
    fs::last_write_time(copy(), old);
    EXPECT_EQ(copies.ensure(kImage, kName), copy().u8string());
    EXPECT_EQ(read(copy()), kBytes);
    EXPECT_EQ(fs::last_write_time(copy()) == old, c.kept);
    EXPECT_EQ(entries(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, ExistingCopy,
    testing::Values(ExistingCase{"SameContent", kBytes, true},
                    ExistingCase{"OtherContentSameSize", std::string(kBytes.size(), 'x'), false},
                    ExistingCase{"OtherSize", kBytes.substr(0, 10), false}, ExistingCase{"Empty", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareCopiesTest, MissingImageGivesNoPathAndNoFile) {
    EXPECT_EQ(copies.ensure("/images/none.bin", kName), "");
    EXPECT_EQ(errors("Owner: Can't lookup resource /images/none.bin: no such image"), 1u);
    EXPECT_FALSE(fs::exists(copy()));
}

TEST_F(FirmwareCopiesTest, CopyThatCannotBeReplacedGivesNoPathAndLeavesNoFragment) {
    fs::create_directories(copy() / "occupied");
    EXPECT_EQ(copies.ensure(kImage, kName), "");
    EXPECT_EQ(
        errors("Owner: Failed to write preinstalled firmware: " + copy().u8string() + " cannot be replaced"),
        1u);
    EXPECT_EQ(entries(), 1u) << "a fragment stayed behind";
    fs::remove_all(copy());
    EXPECT_EQ(copies.ensure(kImage, kName), copy().u8string()) << "each later call tries again";
}

TEST_F(FirmwareCopiesTest, UnusableFolderIsReportedOncePerCause) {
    fs::create_directories(folder);
    write(folder / "firmware", "a file where the folder belongs");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(copies.ensure(kImage, kName), "");
    const std::string refusal = "Owner: Failed to write preinstalled firmware: folder not used (" +
                                (folder / "firmware").u8string() + ": a regular file, not a folder)";
    EXPECT_EQ(errors(refusal), 1u);

    fs::remove(folder / "firmware");
    EXPECT_EQ(copies.ensure(kImage, kName), copy().u8string());
    fs::remove_all(folder / "firmware");
    write(folder / "firmware", "in the way again");
    EXPECT_EQ(copies.ensure(kImage, kName), "");
    EXPECT_EQ(errors(refusal), 2u) << "the folder was usable in between";
}

#ifndef _WIN32
// A copies' folder that others could write to and that cannot be emptied stays refused on every
// call, not only the first: a copy left in it, a hard link to a file of the user's that holds
// the image, would otherwise be handed out as the upload path.
TEST_F(FirmwareCopiesTest, FolderThatCannotBeEmptiedIsRefusedOnEveryCall) {
    fs::create_directories(folder / "firmware");
    fs::path nested = folder / "firmware" / "stuck";
    for (int depth = 0; depth < 100; ++depth) // deeper than emptying goes: it stays
        nested /= "d";
    fs::create_directories(nested);
    const fs::path usersFile = folder / "users-image.bin";
    write(usersFile, kBytes);
    fs::create_hard_link(usersFile, copy());
    fs::permissions(folder / "firmware", fs::perms::all);

    for (int call = 1; call <= 2; ++call)
        EXPECT_EQ(copies.ensure(kImage, kName), "") << "call " << call;
    EXPECT_EQ(errors("Owner: Failed to write preinstalled firmware: folder not used (" +
                     (folder / "firmware").u8string() +
                     ": writable by group or others, and its entries could not all be removed"),
              1u);
    EXPECT_EQ(read(usersFile), kBytes);

    fs::remove_all(folder / "firmware" / "stuck");
    EXPECT_EQ(copies.ensure(kImage, kName), copy().u8string());
    EXPECT_EQ(fs::hard_link_count(copy()), 1u);
    EXPECT_EQ(entries(), 1u);
}
#endif

} // namespace
