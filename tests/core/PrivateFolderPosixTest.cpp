#include "core/PrivateFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// Hands the entry to another user (nobody, or a neighbour of nobody when the tests run as
// nobody); only root can, so the cases that need it are left out otherwise.
bool giveToAnotherUser(const fs::path& path) {
    const uid_t other = ::geteuid() == 65534 ? 65533 : 65534;
    return ::chown(path.c_str(), other, other) == 0;
}

class Scratch {
public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "tavisk-private-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            folder = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    fs::path operator/(const std::string& name) const { return folder / name; }
    const fs::path& path() const { return folder; }

private:
    fs::path folder;
};

void write(const fs::path& file, const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// A folder that others could write to is emptied before use. What they may have left there
// is removed, but never followed: nothing outside the folder is touched.
TEST(PrivateFolder, WritableFolderIsEmptiedWithoutFollowingLinks) {
    Scratch scratch;
    const fs::path outside = scratch / "outside";
    fs::create_directories(outside / "deep");
    write(outside / "keep.txt", "keep");
    write(outside / "deep" / "keep.txt", "keep");

    const fs::path folder = scratch / "shared";
    fs::create_directories(folder / "sub" / "subsub");
    write(folder / "file", "x");
    write(folder / "sub" / "subsub" / "file", "x");
    fs::create_directory_symlink(outside, folder / "link-to-folder");
    fs::create_directory_symlink(outside, folder / "sub" / "link-to-folder");
    fs::create_symlink(outside / "keep.txt", folder / "sub" / "link-to-file");
    ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0666), 0);
    ::chmod(folder.c_str(), 0777);

    const TrustCheck check = ensurePrivateFolder(folder);
    ASSERT_TRUE(check) << check.describe();
    EXPECT_EQ(check.removed, 8u) << "every entry at every depth: 3 links, 2 files, a pipe, 2 folders";
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_TRUE(fs::exists(outside / "keep.txt"));
    EXPECT_TRUE(fs::exists(outside / "deep" / "keep.txt"));
}

TEST(PrivateFolder, ReadableFolderIsClosedButKeepsItsEntries) {
    Scratch scratch;
    const fs::path folder = scratch / "readable";
    fs::create_directories(folder);
    write(folder / "file", "x");
    ::chmod(folder.c_str(), 0755);
    const TrustCheck check = ensurePrivateFolder(folder);
    ASSERT_TRUE(check);
    EXPECT_EQ(check.removed, 0u);
    EXPECT_TRUE(fs::exists(folder / "file"));
    EXPECT_EQ(modeOf(folder), 0700u);
}

// What is not the user's own folder is refused and left as it is; the check says why.
TEST(PrivateFolder, WhatIsNotTheUsersFolderIsRefusedWithItsCause) {
    struct Case {
        const char* name;
        TrustProblem problem;
        const char* reason;
    };
    const Case cases[] = {
        {"link", TrustProblem::SYMBOLIC_LINK, "a symbolic link"},
        {"file", TrustProblem::REGULAR_FILE, "a regular file, not a folder"},
        {"pipe", TrustProblem::NOT_A_FOLDER, "not a folder"},
        {"other", TrustProblem::OTHER_OWNER, "owned by another user"},
        {"blocked/below", TrustProblem::MKDIR_FAILED, "mkdir failed (Not a directory)"},
    };
    Scratch scratch;
    fs::create_directories(scratch / "target");
    fs::create_directory_symlink(scratch / "target", scratch / "link");
    write(scratch / "file", "x");
    write(scratch / "blocked", "x");
    ASSERT_EQ(::mkfifo((scratch / "pipe").c_str(), 0600), 0);
    fs::create_directories(scratch / "other");
    const bool otherOwner = giveToAnotherUser(scratch / "other");
    for (const Case& c : cases) {
        if (c.problem == TrustProblem::OTHER_OWNER && !otherOwner)
            continue; // needs root to hand a folder to another user
        const TrustCheck check = checkPrivateFolder(scratch / c.name);
        EXPECT_EQ(check.problem, c.problem) << c.name;
        EXPECT_EQ(check.reason(), c.reason) << c.name;
        EXPECT_EQ(check.path, scratch / c.name);
    }
    EXPECT_TRUE(fs::is_empty(scratch / "target"));
}

TEST(PrivateFolder, ChainBelowAPrivateFolderStopsAtTheFirstUntrustedFolder) {
    Scratch scratch;
    const fs::path root = scratch / "root";
    ASSERT_TRUE(ensurePrivateFolder(root));
    fs::create_directories(scratch / "elsewhere");
    fs::create_directories(root / "share");
    fs::create_directory_symlink(scratch / "elsewhere", root / "share" / "icons");
    const TrustCheck check = ensurePrivateFolders(root, "share/icons/hicolor");
    EXPECT_EQ(check.problem, TrustProblem::SYMBOLIC_LINK);
    EXPECT_EQ(check.path, root / "share" / "icons");
    EXPECT_TRUE(fs::is_empty(scratch / "elsewhere"));

    const TrustCheck made = ensurePrivateFolders(root, "glib-2.0/schemas");
    ASSERT_TRUE(made) << made.describe();
    EXPECT_EQ(modeOf(root / "glib-2.0" / "schemas"), 0700u);
}

// A file is used or kept only when it is the user's own regular file that nobody else may write.
TEST(PrivateFolder, FilesAreTrustedOnlyWhenTheUsersOwnAndClosed) {
    Scratch scratch;
    write(scratch / "good", "data");
    ::chmod((scratch / "good").c_str(), 0644);
    write(scratch / "loose", "data");
    ::chmod((scratch / "loose").c_str(), 0666);
    fs::create_symlink(scratch / "good", scratch / "link");
    fs::create_directories(scratch / "folder");
    write(scratch / "other", "data");
    const bool otherOwner = giveToAnotherUser(scratch / "other");
    struct Case {
        const char* name;
        TrustProblem problem;
    };
    const Case cases[] = {
        {"good", TrustProblem::NONE},
        {"loose", TrustProblem::WRITABLE_BY_OTHERS},
        {"link", TrustProblem::SYMBOLIC_LINK},
        {"folder", TrustProblem::NOT_A_REGULAR_FILE},
        {"missing", TrustProblem::MISSING},
        {"other", TrustProblem::OTHER_OWNER},
    };
    for (const Case& c : cases) {
        if (c.problem == TrustProblem::OTHER_OWNER && !otherOwner)
            continue;
        EXPECT_EQ(checkPrivateFile(scratch / c.name).problem, c.problem) << c.name;
        // Only a trusted file is read, and never through a link.
        EXPECT_EQ(fileHoldsExactly(scratch / c.name, "data", 4), c.problem == TrustProblem::NONE) << c.name;
    }
    EXPECT_FALSE(fileHoldsExactly(scratch / "good", "dat", 3));
    EXPECT_FALSE(fileHoldsExactly(scratch / "good", "datax", 5));
    EXPECT_FALSE(fileHoldsExactly(scratch / "good", "date", 4));
}

TEST(PrivateFolder, WriteByRenameReplacesALinkNotItsTarget) {
    Scratch scratch;
    write(scratch / "target", "target");
    fs::create_symlink(scratch / "target", scratch / "copy");
    ASSERT_EQ(writeFileByRename(scratch / "copy", "image", 5), FileWrite::WRITTEN);
    EXPECT_TRUE(checkPrivateFile(scratch / "copy"));
    EXPECT_TRUE(fileHoldsExactly(scratch / "copy", "image", 5));
    std::ifstream target(scratch / "target");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(target), {}), "target");
    EXPECT_EQ(modeOf(scratch / "copy") & 077, 0u);

    fs::create_directories(scratch / "occupied" / "x");
    EXPECT_EQ(writeFileByRename(scratch / "occupied", "image", 5), FileWrite::RENAME_FAILED);
    size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(scratch.path()))
        entries += entry.path().filename().string().find(".partial-") != std::string::npos;
    EXPECT_EQ(entries, 0u) << "a temporary file stayed behind";
}

// In a private folder, an entry that may not be kept is replaced; elsewhere (a folder the
// user named) only links and what is not a regular file are refused.
TEST(PrivateFolder, OpeningForWritingNeverFollowsALink) {
    Scratch scratch;
    write(scratch / "target", "target");
    struct Case {
        bool inPrivateFolder;
        bool opens;
    };
    for (const Case c : {Case{true, true}, Case{false, false}}) {
        fs::remove(scratch / "log");
        fs::create_symlink(scratch / "target", scratch / "log");
        TrustCheck check;
        std::FILE* file = openFileForWriting(scratch / "log", c.inPrivateFolder, check);
        EXPECT_EQ(file != nullptr, c.opens) << c.inPrivateFolder;
        if (file != nullptr) {
            std::fputs("line\n", file);
            std::fclose(file);
            EXPECT_TRUE(fileHoldsExactly(scratch / "log", "line\n", 5));
        } else {
            EXPECT_EQ(check.problem, TrustProblem::SYMBOLIC_LINK);
        }
        std::ifstream target(scratch / "target");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(target), {}), "target");
    }

    // A pipe in the file's place does not hold the open up.
    ASSERT_EQ(::mkfifo((scratch / "pipe").c_str(), 0600), 0);
    TrustCheck check;
    EXPECT_EQ(openFileForWriting(scratch / "pipe", false, check), nullptr);
    EXPECT_EQ(check.problem, TrustProblem::NOT_A_REGULAR_FILE);
}

} // namespace
