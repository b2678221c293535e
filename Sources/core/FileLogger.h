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

    // Makes sure a log file is open; returns whether one is. The file opens with a WARNING for
    // each candidate passed over and why (TAVISK_LOG_DIR, with the folder used instead; the
    // temporary folder, refused or emptied; the log's name in the current folder, taken by a
    // file that may not be written, so that the log has another name there). When no file can
    // be opened, those WARNINGs go to standard error, once until they change.
    bool createLogFile(std::string& name);

    void log(const std::string& message, MessageType type, const std::string& prefix) override;

    // "<name>_<day>_<month>_<year>.log"
    static std::string fileName(const std::string& name, const TimeDescription& when);
    // The line without its newline, exactly as log() writes it.
    static std::string formatLine(const TimeDescription& when, const std::string& label,
                                  const std::string& message, const std::string& prefix);
    struct Candidate {
        enum Kind {
            LOG_DIR,   // named by the user: the choice covers what others put there
            TEMPORARY, // shared with other users: must be made private
            CURRENT,   // may be shared: only a trusted file at the log's name is written
        };
        std::filesystem::path folder;
        Kind kind = CURRENT;
    };
    // Folders to try, in order: TAVISK_LOG_DIR, <temp>/TaviskBeaconUtility, the current folder.
    // A candidate that cannot be worked out is left out.
    static std::vector<Candidate> candidateFolders();

    ~FileLogger() override;
    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

private:
    FileLogger() = default;
    // One candidate folder each, as createLogFile tries them: whether it opened `file` there as
    // logFile; if not, the WARNINGs of what was passed over in it are added to `warnings`.
    // TAVISK_LOG_DIR's is one line, which names the variable.
    bool openInLogDir(const std::filesystem::path& folder, const std::string& file,
                      std::vector<std::string>& warnings);
    bool openInTemporaryFolder(const std::filesystem::path& folder, const std::string& file,
                               std::vector<std::string>& warnings);
    bool openInCurrentFolder(const std::filesystem::path& folder, const std::string& file,
                             std::vector<std::string>& warnings);
    void reportNoLogFile(const TimeDescription& when, const std::vector<std::string>& warnings);

    // Written only by createLogFile and the candidate steps it calls, which run only under the
    // logging front's lock (the front asks for the instance with each line); log() reads the
    // first two under `mutex`.
    std::FILE* logFile = nullptr; // the application log once created
    bool created = false;
    std::string reportedFailure; // the WARNINGs last sent to standard error for want of a file
    // Serialises log(): one whole line at a time in the file.
    std::mutex mutex;
};
