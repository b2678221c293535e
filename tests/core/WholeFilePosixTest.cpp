// What a user may pick in the file chooser besides a regular file: none of it may keep the
// reader waiting, and each is refused with what it is.
#include "core/WholeFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

class SpecialEntries : public testing::Test {
protected:
    void SetUp() override {
        folder = fs::path(testing::TempDir()) / ("whole_file_special_" + std::to_string(::getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    // The read, bounded: a reader stuck in open() is freed by opening the FIFO's other end.
    WholeFile readWithin(const fs::path& path) {
        auto read = std::async(std::launch::async, [path] { return readWholeFile(path.u8string(), 1000); });
        if (read.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << path << ": the read waited";
            const int unblock = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (unblock >= 0)
                ::close(unblock);
        }
        return read.get();
    }

    fs::path folder;
};

TEST_F(SpecialEntries, AreRefusedAtOnceWithWhatTheyAre) {
    const fs::path fifo = folder / "image.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path socketPath = folder / "image.sock";
    const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const fs::path linkToFifo = folder / "link.bin";
    fs::create_symlink(fifo, linkToFifo);

    struct Case {
        const char* name;
        fs::path path;
        const char* kind;
    };
    const Case cases[] = {
        {"a FIFO", fifo, "a FIFO"},
        {"a link to a FIFO", linkToFifo, "a FIFO"},
        {"a device node", "/dev/null", "a device node"},
        {"a socket", socketPath, "a socket"},
        {"a folder", folder, "a folder"},
    };
    for (const Case& c : cases) {
        const WholeFile read = readWithin(c.path);
        EXPECT_EQ(read.status, WholeFile::NOT_REGULAR) << c.name;
        EXPECT_EQ(read.cause(1000), std::string("not a regular file but ") + c.kind) << c.name;
        EXPECT_TRUE(read.bytes.empty()) << c.name;
    }
    ::close(listening);
}

TEST_F(SpecialEntries, ALinkToARegularFileIsReadAndAnUnreadableFileSaysWhy) {
    const fs::path file = folder / "image.bin";
    std::ofstream(file, std::ios::binary) << "abc";
    const fs::path link = folder / "link.bin";
    fs::create_symlink(file, link);
    WholeFile read = readWithin(link);
    EXPECT_EQ(read.status, WholeFile::READ);
    EXPECT_EQ(std::string(read.bytes.begin(), read.bytes.end()), "abc");

    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads a file of mode 0000";
    fs::permissions(file, fs::perms::none);
    read = readWithin(file);
    EXPECT_EQ(read.status, WholeFile::OPEN_FAILED);
    EXPECT_EQ(read.cause(1000), "the file cannot be opened (Permission denied)");
}

// Files that are there and regular, but cannot be had whole: each says why, and nothing throws.
TEST_F(SpecialEntries, AFileThatEndsEarlyOrDoesNotFitInMemorySaysWhy) {
    // sysfs gives its files a size of 4096 and holds a few bytes.
    const fs::path shortFile = "/sys/devices/system/cpu/online";
    if (fs::is_regular_file(shortFile)) {
        const WholeFile read = readWholeFile(shortFile.u8string(), 8192);
        EXPECT_EQ(read.status, WholeFile::READ_FAILED);
        EXPECT_EQ(read.cause(8192).rfind("the file cannot be read (it ended after ", 0), 0u)
            << read.cause(8192);
        EXPECT_TRUE(read.bytes.empty());
    }

    // Larger than memory and swap together: the allocation itself fails. Where the system
    // promises any amount of memory (overcommit 1), it would be granted and then filled.
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer ends the process where the allocation would throw";
#endif
    std::ifstream overcommit("/proc/sys/vm/overcommit_memory");
    int mode = 1;
    if (!(overcommit >> mode) || mode == 1)
        GTEST_SKIP() << "this system grants any allocation";
    const fs::path huge = folder / "huge.bin";
    std::ofstream(huge, std::ios::binary) << "x";
    const std::uint64_t size = std::uint64_t{1} << 39; // sparse: no room is taken
    fs::resize_file(huge, size);
    const WholeFile read = readWholeFile(huge.u8string(), size);
    EXPECT_EQ(read.status, WholeFile::NO_MEMORY);
    EXPECT_EQ(read.size, size);
    EXPECT_EQ(read.cause(size), "the file's 549755813888 bytes do not fit in memory");
    EXPECT_TRUE(read.bytes.empty());
}

} // namespace
