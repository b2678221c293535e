#pragma once

#include "core/BaseLogger.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

// Plain lines in the dated application log file, which it creates on first use.
// Reached through LoggerManager only.
class FileLogger : public BaseLogger {
public:
    // Every call, the first included, tries to create the log file while none is open.
    static FileLogger& getInstance();

    // Makes sure a log file is open; returns whether one is. When the temporary folder's
    // candidate was refused, or had to be emptied, the file opens with a WARNING that says why.
    bool createLogFile(std::string& name);

    void log(const std::string& message, MessageType type, const std::string& prefix) override;

    // "<name>_<day>_<month>_<year>.log"
    static std::string fileName(const std::string& name, const TimeDescription& when);
    // The line without its newline, exactly as log() writes it.
    static std::string formatLine(const TimeDescription& when, const std::string& label,
                                  const std::string& message, const std::string& prefix);
    struct Candidate {
        std::filesystem::path folder;
        bool inTemporaryFolder = false; // shared with other users: must be made private
    };
    // Folders to try, in order: TAVISK_LOG_DIR, <temp>/TaviskBeaconUtility, the current folder.
    // A candidate that cannot be worked out is left out.
    static std::vector<Candidate> candidateFolders();

    ~FileLogger() override;
    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

private:
    FileLogger() = default;

    std::FILE* logFile = nullptr; // the application log once created
    bool created = false;
    // Serialises log(): one whole line at a time in the file.
    std::mutex mutex;
};
