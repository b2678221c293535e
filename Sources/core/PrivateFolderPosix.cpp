#include "core/PrivateFolder.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

enum class Kind { FOLDER, FILE };

std::string systemText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// The one check of an entry, as lstat or fstat describe it. A folder that group or others may
// write to passes here: checkPrivateFolder empties it before it is used.
TrustProblem classify(const struct stat& st, Kind kind) {
    if (S_ISLNK(st.st_mode))
        return TrustProblem::SYMBOLIC_LINK;
    if (kind == Kind::FOLDER) {
        if (S_ISREG(st.st_mode))
            return TrustProblem::REGULAR_FILE;
        if (!S_ISDIR(st.st_mode))
            return TrustProblem::NOT_A_FOLDER;
    } else if (!S_ISREG(st.st_mode)) {
        return TrustProblem::NOT_A_REGULAR_FILE;
    }
    if (st.st_uid != ::geteuid())
        return TrustProblem::OTHER_OWNER;
    if (kind == Kind::FILE && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return TrustProblem::WRITABLE_BY_OTHERS;
    if (kind == Kind::FILE && st.st_nlink > 1)
        return TrustProblem::MULTIPLE_LINKS;
    return TrustProblem::NONE;
}

TrustCheck failure(const fs::path& path, TrustProblem problem, int error = 0) {
    TrustCheck check;
    check.problem = problem;
    check.path = path;
    if (error != 0)
        check.detail = systemText(error);
    return check;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd; }
    int release() {
        const int out = fd;
        fd = -1;
        return out;
    }

private:
    int fd;
};

constexpr int kMaxDepth = 64;

// Removes every entry of the open folder. Nothing is followed: a folder inside is opened
// relative to its parent with O_NOFOLLOW and emptied the same way before it goes, so a link
// swapped in meanwhile is removed, never entered. Stops at the first entry that stays.
bool removeEntries(int folderFd, int depth, std::size_t& removed, std::string& problem) {
    if (depth > kMaxDepth) {
        problem = "folders nested too deep";
        return false;
    }
    std::vector<std::string> names;
    {
        const int listFd = ::dup(folderFd);
        DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
        if (dir == nullptr) {
            problem = systemText(errno);
            if (listFd >= 0)
                ::close(listFd);
            return false;
        }
        ::rewinddir(dir);
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            problem = name + ": " + systemText(errno);
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            const Descriptor inner(
                ::openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (inner.get() < 0) {
                problem = name + ": " + systemText(errno);
                return false;
            }
            if (!removeEntries(inner.get(), depth + 1, removed, problem)) {
                problem = name + "/" + problem;
                return false;
            }
        }
        if (::unlinkat(folderFd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
            problem = name + ": " + systemText(errno);
            return false;
        }
        ++removed;
    }
    return true;
}

// Whether a file may be written as it stands: a trusted file, or none yet. In a folder the
// user named, the choice of folder also covers files that others own or may write, and files
// with other names.
bool writableAsItStands(TrustProblem problem, WriteFolder folder) {
    switch (problem) {
    case TrustProblem::NONE:
    case TrustProblem::MISSING:
        return true;
    case TrustProblem::OTHER_OWNER:
    case TrustProblem::WRITABLE_BY_OTHERS:
    case TrustProblem::MULTIPLE_LINKS:
        return folder == WriteFolder::CHOSEN;
    default:
        return false;
    }
}

} // namespace

TrustCheck checkPrivateFolder(const fs::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return failure(folder, TrustProblem::MKDIR_FAILED, errno);
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0)
        return failure(folder, TrustProblem::MKDIR_FAILED, errno);
    const TrustProblem problem = classify(st, Kind::FOLDER);
    if (problem != TrustProblem::NONE)
        return failure(folder, problem);
    TrustCheck check;
    check.path = folder;
    if ((st.st_mode & 077) == 0)
        return check;

    // Close it first, so that nobody adds anything while it is emptied; then make sure the
    // folder opened is the one looked at.
    const Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened {};
    if (fd.get() < 0 || ::fstat(fd.get(), &opened) != 0)
        return failure(folder, TrustProblem::NOT_EMPTIED, errno);
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino ||
        classify(opened, Kind::FOLDER) != TrustProblem::NONE)
        return failure(folder, TrustProblem::NOT_EMPTIED);
    if (::fchmod(fd.get(), 0700) != 0)
        return failure(folder, TrustProblem::NOT_EMPTIED, errno);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        std::string problemText;
        if (!removeEntries(fd.get(), 0, check.removed, problemText)) {
            // What is left may be anything that others put there. Left at 0700 it would pass
            // the next check unemptied; with the mode it was found with, every later check
            // empties it again and refuses it until that succeeds.
            ::fchmod(fd.get(), st.st_mode & 07777);
            check.problem = TrustProblem::NOT_EMPTIED;
            check.detail = problemText;
        }
    }
    return check;
}

TrustCheck checkPrivateFile(const fs::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0)
        return failure(file, errno == ENOENT ? TrustProblem::MISSING : TrustProblem::OPEN_FAILED, errno);
    TrustCheck check;
    check.path = file;
    check.problem = classify(st, Kind::FILE);
    return check;
}

std::FILE* openTrustedFileForReading(const fs::path& file) {
    // O_NONBLOCK: a pipe in the file's place must not hold the open up; it fails the check.
    Descriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || classify(st, Kind::FILE) != TrustProblem::NONE)
        return nullptr;
    if (::fcntl(fd.get(), F_SETFL, 0) != 0)
        return nullptr;
    std::FILE* stream = ::fdopen(fd.get(), "rb");
    if (stream != nullptr)
        fd.release();
    return stream;
}

std::FILE* createNewFile(const fs::path& file) {
    Descriptor fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        return nullptr;
    std::FILE* stream = ::fdopen(fd.get(), "wb");
    if (stream != nullptr)
        fd.release();
    return stream;
}

std::FILE* openFileForWriting(const fs::path& file, WriteFolder folder, TrustCheck& check) {
    check = checkPrivateFile(file);
    // Only a regular file is opened: a device or pipe in the file's place is never touched,
    // and a link never followed.
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    if (!writableAsItStands(check.problem, folder)) {
        // In a private folder an entry that may not be kept goes (for a hard link only this
        // name of it), and the file is made anew; a folder in its place stays (it may hold
        // something of the user's). Elsewhere the entry is not the program's to remove.
        struct stat st {};
        const bool isFolder = ::lstat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (folder != WriteFolder::PRIVATE || isFolder || check.problem == TrustProblem::OPEN_FAILED ||
            ::unlink(file.c_str()) != 0)
            return nullptr;
        flags |= O_EXCL;
    }
    Descriptor fd(::open(file.c_str(), flags, 0600));
    if (fd.get() < 0) {
        check =
            failure(file, errno == ELOOP ? TrustProblem::SYMBOLIC_LINK : TrustProblem::OPEN_FAILED, errno);
        return nullptr;
    }
    // What was opened is checked again: the entry may have changed since it was looked at.
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        check = failure(file, TrustProblem::OPEN_FAILED, errno);
        return nullptr;
    }
    const TrustProblem opened = classify(st, Kind::FILE);
    if (!writableAsItStands(opened, folder)) {
        check = failure(file, opened);
        return nullptr;
    }
    if (::ftruncate(fd.get(), 0) != 0 || ::fcntl(fd.get(), F_SETFL, 0) != 0) {
        check = failure(file, TrustProblem::OPEN_FAILED, errno);
        return nullptr;
    }
    std::FILE* stream = ::fdopen(fd.get(), "w");
    if (stream == nullptr) {
        check = failure(file, TrustProblem::OPEN_FAILED, errno);
        return nullptr;
    }
    fd.release();
    check = TrustCheck{};
    check.path = file;
    return stream;
}
