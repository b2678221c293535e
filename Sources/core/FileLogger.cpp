#include "core/FileLogger.h"

#include "core/PrivateFolder.h"

#include <cstdlib>
#include <iostream>
#include <map>

namespace fs = std::filesystem;

namespace {

// Names after the log's own that the current folder may give the log, when the log's name is
// taken there by a file that may not be written ("application_5_Jan_2024-2.log" and so on).
constexpr int kOtherNames = 4;

std::string refusal(const fs::path& folder, const TrustCheck& check) {
    return "Log folder " + folder.u8string() + " not used (" + check.describe() + ")";
}

std::string fileRefusal(const fs::path& file, const TrustCheck& check) {
    return "Log file " + file.u8string() + " not used (" + check.reason() + ")";
}

// Whether the name is taken by an entry that is not written (rather than the folder being
// unusable), so that another name may do.
bool takenByUntrustedEntry(TrustProblem problem) {
    switch (problem) {
    case TrustProblem::SYMBOLIC_LINK:
    case TrustProblem::NOT_A_REGULAR_FILE:
    case TrustProblem::OTHER_OWNER:
    case TrustProblem::WRITABLE_BY_OTHERS:
    case TrustProblem::MULTIPLE_LINKS:
        return true;
    default:
        return false;
    }
}

fs::path otherName(const fs::path& file, int number) {
    fs::path name = file.stem();
    name += "-" + std::to_string(number);
    name += file.extension();
    return file.parent_path() / name;
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
        folders.push_back({fs::u8path(dir), Candidate::LOG_DIR});
    // A folder that cannot be worked out is skipped; it must not cost the others.
    const fs::path temporary = programTemporaryFolder();
    if (!temporary.empty())
        folders.push_back({temporary, Candidate::TEMPORARY});
    std::error_code ec;
    fs::path current = fs::current_path(ec);
    if (!ec && !current.empty())
        folders.push_back({current, Candidate::CURRENT});
    return folders;
}

bool FileLogger::createLogFile(std::string& name) {
    if (created)
        return true;
    TimeDescription when;
    when.updateTime();
    const std::string file = fileName(name, when);
    std::vector<std::string> warnings;
    // TAVISK_LOG_DIR comes first, so its refusal is the first WARNING; that line ends with where
    // the log went instead.
    bool logDirRefused = false;
    for (const Candidate& candidate : candidateFolders()) {
        bool opened = false;
        switch (candidate.kind) {
        case Candidate::LOG_DIR:
            opened = openInLogDir(candidate.folder, file, warnings);
            logDirRefused = !opened;
            break;
        case Candidate::TEMPORARY:
            opened = openInTemporaryFolder(candidate.folder, file, warnings);
            break;
        case Candidate::CURRENT:
            opened = openInCurrentFolder(candidate.folder, file, warnings);
            break;
        }
        if (!opened)
            continue;
        created = true;
        // The file opens with what was passed over on the way to it, and why.
        if (logDirRefused)
            warnings.front() += "; the log is in " + candidate.folder.u8string();
        for (const std::string& warning : warnings)
            std::fprintf(logFile, "%s\n", formatLine(when, "WARNING", warning, "FileLogger: ").c_str());
        std::fflush(logFile);
        return true;
    }
    reportNoLogFile(when, warnings);
    return false;
}

bool FileLogger::openInLogDir(const fs::path& folder, const std::string& file,
                              std::vector<std::string>& warnings) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    TrustCheck check;
    logFile = openFileForWriting(folder / fs::u8path(file), WriteFolder::CHOSEN, check);
    if (logFile != nullptr)
        return true;
    // A folder that could not be made says more than the open that failed in it.
    if (ec)
        check = TrustCheck{TrustProblem::MKDIR_FAILED, folder, ec.message()};
    warnings.push_back("Log folder " + folder.u8string() + " from TAVISK_LOG_DIR not used (" +
                       check.describe() + ")");
    return false;
}

bool FileLogger::openInTemporaryFolder(const fs::path& folder, const std::string& file,
                                       std::vector<std::string>& warnings) {
    TrustCheck check = ensurePrivateFolder(folder);
    if (!check) {
        warnings.push_back(refusal(folder, check));
        return false;
    }
    if (check.removed > 0)
        warnings.push_back("Log folder " + folder.u8string() + " was writable by group or others: " +
                           std::to_string(check.removed) + " entries removed");
    logFile = openFileForWriting(folder / fs::u8path(file), WriteFolder::PRIVATE, check);
    if (logFile != nullptr)
        return true;
    warnings.push_back(refusal(folder, check));
    return false;
}

bool FileLogger::openInCurrentFolder(const fs::path& folder, const std::string& file,
                                     std::vector<std::string>& warnings) {
    // Others may have put a file there under the log's name: it is left alone, and the log
    // takes another name.
    const fs::path target = folder / fs::u8path(file);
    for (int number = 1;; ++number) {
        const fs::path named = number == 1 ? target : otherName(target, number);
        TrustCheck check;
        logFile = openFileForWriting(named, WriteFolder::UNCHECKED, check);
        if (logFile != nullptr)
            return true;
        warnings.push_back(fileRefusal(named, check));
        if (!takenByUntrustedEntry(check.problem) || number > kOtherNames)
            return false;
    }
}

void FileLogger::reportNoLogFile(const TimeDescription& when, const std::vector<std::string>& warnings) {
    // Each line tries again while no file is open: the same story is told once.
    std::string story;
    for (const std::string& warning : warnings)
        story += warning + '\n';
    if (story == reportedFailure)
        return;
    reportedFailure = story;
    for (const std::string& warning : warnings)
        std::cerr << formatLine(when, "WARNING", warning, "FileLogger: ") << '\n';
    std::cerr << formatLine(when, "WARNING", "No log file could be created: its lines are dropped",
                            "FileLogger: ")
              << std::endl;
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
