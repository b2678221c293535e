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

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Folders nested deeper than the program goes when it empties a folder: an entry that stays,
// whoever runs the test (root may remove another user's files).
void plantEntryThatStays(const fs::path& folder) {
    fs::path nested = folder / "stuck";
    for (int depth = 0; depth < 100; ++depth)
        nested /= "d";
    fs::create_directories(nested);
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

// A folder that could not be emptied must not pass the next check as one closed to others:
// it keeps its mode, so that each check empties it again, and stays refused until that works.
// Otherwise a hard link left in it to a file of the user's own would be written over.
TEST(PrivateFolder, FolderThatCannotBeEmptiedStaysRefusedUntilItIsEmptied) {
    Scratch scratch;
    write(scratch / "notes.txt", "the user's notes");
    const fs::path folder = scratch / "shared";
    fs::create_directories(folder);
    plantEntryThatStays(folder);
    fs::create_hard_link(scratch / "notes.txt", folder / "application.log");
    ::chmod(folder.c_str(), 0777);

    for (int check = 1; check <= 2; ++check) {
        const TrustCheck refused = checkPrivateFolder(folder);
        EXPECT_EQ(refused.problem, TrustProblem::NOT_EMPTIED) << "check " << check;
        EXPECT_NE(refused.detail.find("stuck/"), std::string::npos) << refused.detail;
        EXPECT_EQ(modeOf(folder), 0777u) << "check " << check;
    }
    EXPECT_EQ(readAll(scratch / "notes.txt"), "the user's notes");

    fs::remove_all(folder / "stuck");
    const TrustCheck emptied = checkPrivateFolder(folder);
    ASSERT_TRUE(emptied) << emptied.describe();
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(readAll(scratch / "notes.txt"), "the user's notes");
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
    write(scratch / "notes", "data");
    fs::create_hard_link(scratch / "notes", scratch / "hardlink");
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
        {"hardlink", TrustProblem::MULTIPLE_LINKS},
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

// What stands at a file's name is never written through. In a private folder an entry that
// may not be kept is replaced; in an unchecked folder it is left alone and the file not opened;
// in a folder the user named, only a link is refused.
TEST(PrivateFolder, OpeningForWritingNeverWritesThroughAPlantedEntry) {
    enum class Planted { SYMBOLIC_LINK, HARD_LINK, LOOSE_FILE };
    struct Case {
        const char* name;
        Planted planted;
        WriteFolder folder;
        TrustProblem refused; // NONE: the file opens
    };
    const Case cases[] = {
        {"link, private", Planted::SYMBOLIC_LINK, WriteFolder::PRIVATE, TrustProblem::NONE},
        {"link, unchecked", Planted::SYMBOLIC_LINK, WriteFolder::UNCHECKED, TrustProblem::SYMBOLIC_LINK},
        {"link, chosen", Planted::SYMBOLIC_LINK, WriteFolder::CHOSEN, TrustProblem::SYMBOLIC_LINK},
        {"hard link, private", Planted::HARD_LINK, WriteFolder::PRIVATE, TrustProblem::NONE},
        {"hard link, unchecked", Planted::HARD_LINK, WriteFolder::UNCHECKED, TrustProblem::MULTIPLE_LINKS},
        {"loose file, private", Planted::LOOSE_FILE, WriteFolder::PRIVATE, TrustProblem::NONE},
        {"loose file, unchecked", Planted::LOOSE_FILE, WriteFolder::UNCHECKED,
         TrustProblem::WRITABLE_BY_OTHERS},
    };
    for (const Case& c : cases) {
        Scratch scratch;
        const fs::path log = scratch / "log";
        // What the planted name leads to, read back through a descriptor of its own.
        const fs::path target = c.planted == Planted::LOOSE_FILE ? log : scratch / "notes.txt";
        write(target, "planted");
        const int planted = ::open(target.c_str(), O_RDONLY);
        ASSERT_GE(planted, 0);
        if (c.planted == Planted::SYMBOLIC_LINK)
            fs::create_symlink(target, log);
        else if (c.planted == Planted::HARD_LINK)
            fs::create_hard_link(target, log);
        else
            ::chmod(log.c_str(), 0666);

        TrustCheck check;
        std::FILE* file = openFileForWriting(log, c.folder, check);
        EXPECT_EQ(file != nullptr, c.refused == TrustProblem::NONE) << c.name;
        if (file != nullptr) {
            std::fputs("line\n", file);
            std::fclose(file);
            EXPECT_TRUE(fileHoldsExactly(log, "line\n", 5)) << c.name;
        } else {
            EXPECT_EQ(check.problem, c.refused) << c.name;
        }
        char block[16] = {};
        EXPECT_EQ(::pread(planted, block, sizeof block, 0), 7) << c.name;
        EXPECT_EQ(std::string(block), "planted") << c.name;
        ::close(planted);
    }

    // A pipe in the file's place does not hold the open up.
    Scratch scratch;
    ASSERT_EQ(::mkfifo((scratch / "pipe").c_str(), 0600), 0);
    TrustCheck check;
    EXPECT_EQ(openFileForWriting(scratch / "pipe", WriteFolder::CHOSEN, check), nullptr);
    EXPECT_EQ(check.problem, TrustProblem::NOT_A_REGULAR_FILE);
}

} // namespace
