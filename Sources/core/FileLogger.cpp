#include "core/FileLogger.h"

#include "core/PrivateFolder.h"

#include <cstdlib>
#include <map>

namespace fs = std::filesystem;

namespace {

std::string refusal(const fs::path& folder, const TrustCheck& check) {
    return "Log folder " + folder.u8string() + " not used (" + check.describe() + ")";
}

} // namespace

FileLogger& FileLogger::getInstance() {
    static FileLogger instance;
    std::string name = "application";
    instance.createLogFile(name);
    return instance;
}

FileLogger::~FileLogger() {
    if (logFile != nullptr)
        std::fclose(logFile);
}

std::string FileLogger::fileName(const std::string& name, const TimeDescription& when) {
    return name + "_" + when.day + "_" + when.month + "_" + when.year + ".log";
}

std::string FileLogger::formatLine(const TimeDescription& when, const std::string& label,
                                   const std::string& message, const std::string& prefix) {
    return "[" + when.time + ", " + when.day + "/" + when.month + "/" + when.year + "]" + "[" + label + "] " +
           prefix + message;
}

std::vector<FileLogger::Candidate> FileLogger::candidateFolders() {
    std::vector<Candidate> folders;
    const char* dir = std::getenv("TAVISK_LOG_DIR");
    if (dir != nullptr && *dir != '\0')
        folders.push_back({fs::u8path(dir), false});
    // A folder that cannot be worked out is skipped; it must not cost the others.
    std::error_code ec;
    fs::path temp = fs::temp_directory_path(ec);
    if (!ec && !temp.empty())
        folders.push_back({temp / "TaviskBeaconUtility", true});
    fs::path current = fs::current_path(ec);
    if (!ec && !current.empty())
        folders.push_back({current, false});
    return folders;
}

bool FileLogger::createLogFile(std::string& name) {
    if (created)
        return true;
    TimeDescription when;
    when.updateTime();
    const std::string file = fileName(name, when);
    std::vector<std::string> warnings;
    for (const Candidate& candidate : candidateFolders()) {
        TrustCheck check;
        if (candidate.inTemporaryFolder) {
            check = ensurePrivateFolder(candidate.folder);
            if (!check) {
                warnings.push_back(refusal(candidate.folder, check));
                continue;
            }
            if (check.removed > 0)
                warnings.push_back("Log folder " + candidate.folder.u8string() +
                                   " was writable by group or others: " + std::to_string(check.removed) +
                                   " entries removed");
        } else {
            std::error_code ec;
            fs::create_directories(candidate.folder, ec);
        }
        const fs::path target = candidate.folder / fs::u8path(file);
        logFile = openFileForWriting(target, candidate.inTemporaryFolder, check);
        if (logFile == nullptr) {
            if (candidate.inTemporaryFolder)
                warnings.push_back(refusal(candidate.folder, check));
            continue;
        }
        created = true;
        // The file opens with why the temporary folder was passed over or what was removed
        // from it.
        for (const std::string& warning : warnings)
            std::fprintf(logFile, "%s\n", formatLine(when, "WARNING", warning, "FileLogger: ").c_str());
        std::fflush(logFile);
        break;
    }
    return created;
}

void FileLogger::log(const std::string& message, MessageType type, const std::string& prefix) {
    static std::map<MessageType, std::string> typeLabels = {
        {DEBUG, "DEBUG"}, {INFO, "INFO"}, {WARNING, "WARNING"}, {ERROR, "ERROR"}, {FATAL, "FATAL"}};
    std::lock_guard<std::mutex> lock(mutex);
    if (!created || logFile == nullptr)
        return;
    TimeDescription when;
    when.updateTime();
    const std::string line = formatLine(when, typeLabels[type], message, prefix) + '\n';
    std::fwrite(line.data(), 1, line.size(), logFile);
    std::fflush(logFile);
}
