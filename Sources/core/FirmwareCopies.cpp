#include "core/FirmwareCopies.h"

#include "core/LoggerManager.h"
#include "core/PrivateFolder.h"

FirmwareCopies::FirmwareCopies(std::filesystem::path programFolder, std::string logPrefix, Reader reader)
    : programFolder(std::move(programFolder)), logPrefix(std::move(logPrefix)), reader(std::move(reader)),
      logger(&LoggerManager::getInstance()) {}

void FirmwareCopies::logError(const std::string& message) {
    logger->log(message, BaseLogger::ERROR, logPrefix);
}

bool FirmwareCopies::foldersUsable() {
    // The program's folder, and the copies' folder in it, must be the user's own before
    // anything is read or written there.
    TrustCheck check = ensurePrivateFolder(programFolder);
    std::size_t removed = check.removed;
    if (check) {
        check = ensurePrivateFolders(programFolder, "firmware");
        removed += check.removed;
    }
    if (removed > 0)
        logger->log("Folder " + programFolder.u8string() +
                        " or its firmware folder was writable by group or others: " +
                        std::to_string(removed) + " entries removed",
                    BaseLogger::WARNING, logPrefix);
    const std::string refusal = check ? std::string() : "folder not used (" + check.describe() + ")";
    if (refusal != lastFolderRefusal && !refusal.empty())
        logError("Failed to write preinstalled firmware: " + refusal);
    lastFolderRefusal = refusal;
    return static_cast<bool>(check);
}

std::string FirmwareCopies::ensure(const std::string& resourcePath, const std::string& copyName) {
    if (!foldersUsable())
        return {};
    std::vector<std::uint8_t> bytes;
    std::string reason;
    if (!reader(resourcePath, bytes, reason)) {
        logError("Can't lookup resource " + resourcePath + ": " + reason);
        return {};
    }
    const std::filesystem::path file = programFolder / "firmware" / std::filesystem::u8path(copyName);
    switch (placeCopy(file, bytes.data(), bytes.size(), KeepCopy::IF_SAME_BYTES)) {
    case FileWrite::KEPT:
    case FileWrite::WRITTEN:
        return file.u8string();
    case FileWrite::OPEN_FAILED:
        logError("Can't open file for preinstalled firmware: " + file.u8string());
        break;
    case FileWrite::WRITE_FAILED:
        logError("Failed to write preinstalled firmware: writing " + file.u8string() + " failed");
        break;
    case FileWrite::RENAME_FAILED:
        logError("Failed to write preinstalled firmware: " + file.u8string() + " cannot be replaced");
        break;
    }
    return {};
}
