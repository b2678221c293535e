#include "PrivateFolder.h"

// The temporary folder on Windows belongs to the user already; a plain folder is enough.
bool ensurePrivateFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return std::filesystem::is_directory(std::filesystem::symlink_status(folder, ec));
}

bool isSymbolicLink(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec));
}
