#include "PrivateFolder.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

bool ensurePrivateFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    if (folder.has_parent_path())
        std::filesystem::create_directories(folder.parent_path(), ec);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
        return false;
    return true;
}

bool isSymbolicLink(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
