#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class LoggerManager;

// Copies of the firmware images that the program carries, written on first need to the folder
// "firmware" of the program's private folder in the shared temporary folder, so that they can
// be sent like files the user picked. A copy is reused only when it is a trusted file holding
// exactly the carried bytes; otherwise it is written under a temporary name and renamed into
// place once complete. A folder that cannot be used is reported once per cause, not on each try.
//
// Used on one thread at a time: the selection box asks for copies on the GUI thread.
class FirmwareCopies {
public:
    // The bytes of a carried image at `path`, or false with the reason.
    using Reader =
        std::function<bool(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& reason)>;

    // `programFolder`: the program's folder in the shared temporary folder. Lines go out under
    // the owner's `logPrefix`.
    FirmwareCopies(std::filesystem::path programFolder, std::string logPrefix, Reader reader);

    // The path (UTF-8) of the copy of the image at `resourcePath` named `copyName`, written
    // when needed; empty when no complete copy could be put in place.
    std::string ensure(const std::string& resourcePath, const std::string& copyName);

private:
    void logError(const std::string& message);
    // Makes the folders private; false when they may not be used.
    bool foldersUsable();

    const std::filesystem::path programFolder;
    const std::string logPrefix;
    const Reader reader;
    LoggerManager* logger;

    std::string lastFolderRefusal; // the refusal logged last; empty once the folder is usable
};
