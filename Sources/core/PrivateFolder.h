#pragma once

#include <filesystem>

// Folders that the program makes in a shared temporary folder must be its own: on POSIX
// systems the folder is created with mode 0700 (its parents as usual) and is accepted only
// when it is a real folder, not a symbolic link, owned by the running user. Returns whether
// the folder can be used.
bool ensurePrivateFolder(const std::filesystem::path& folder);

// True when path names a symbolic link; files are never written through one.
bool isSymbolicLink(const std::filesystem::path& path);
