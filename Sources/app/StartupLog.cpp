#include "app/StartupLog.h"

#include "platform/CrashHandlers.h"
#include "platform/CrashLine.h"
#include "platform/ProcessServices.h"

#include <cstdlib>
#include <fstream>

namespace {

constexpr const char* kLogFileName = "TaviskBeaconUtility.log";
constexpr const char* kFolderName = "TaviskBeaconUtility";

// The log and its lock are never destroyed: GLib may still log from another thread or an
// exit handler after static destructors have run. Every line is flushed, so nothing is lost
// when the system closes the file at exit.
std::ofstream& logFile() {
    static auto* file = new std::ofstream;
    return *file;
}

} // namespace

std::mutex& startupLogMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

const char* levelName(GLogLevelFlags level) {
    if (level & G_LOG_LEVEL_ERROR)
        return "ERROR";
    if (level & G_LOG_LEVEL_CRITICAL)
        return "CRITICAL";
    if (level & G_LOG_LEVEL_WARNING)
        return "WARNING";
    if (level & G_LOG_LEVEL_MESSAGE)
        return "MESSAGE";
    if (level & G_LOG_LEVEL_INFO)
        return "INFO";
    if (level & G_LOG_LEVEL_DEBUG)
        return "DEBUG";
    return "LOG";
}

std::string formatTimestampUtc(std::time_t instant) {
    // The crash path's formatter: one calendar for ordinary and crash lines, on every system.
    char text[CrashLine::kTimestampLength];
    CrashLine::formatTimestamp(static_cast<std::int64_t>(instant), text);
    return std::string(text, sizeof text);
}

std::string formatTimestampUtc() {
    return formatTimestampUtc(std::time(nullptr));
}

std::string formatLogLine(std::time_t instant, const char* domain, GLogLevelFlags level,
                          const char* message) {
    std::string line = formatTimestampUtc(instant);
    line += " [";
    line += levelName(level);
    line += "]";
    if (domain != nullptr && *domain != '\0') {
        line += " [";
        line += domain;
        line += "]";
    }
    line += " ";
    if (message != nullptr)
        line += message;
    line += "\n";
    return line;
}

std::filesystem::path chooseStartupLogPath() {
    const char* configured = std::getenv("TAVISK_LOG_PATH");
    if (configured != nullptr && *configured != '\0')
        return std::filesystem::u8path(configured);
    if (const auto appData = getLocalAppDataDir()) {
        const auto folder = *appData / kFolderName;
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
        return folder / kLogFileName;
    }
    return getTempDir() / kLogFileName;
}

bool openStartupLog(const std::filesystem::path& path) {
    {
        std::lock_guard<std::mutex> lock(startupLogMutex());
        if (logFile().is_open())
            logFile().close();
        logFile().clear();
        logFile().open(path, std::ios::out | std::ios::app);
        if (!logFile().is_open())
            return false;
    }
    setCrashLogPath(path);
    writeLogMessage("TaviskBeaconUtility", "=== Application start ===");
    writeLogMessage("TaviskBeaconUtility", path.u8string());
    return true;
}

void closeStartupLog() {
    setCrashLogPath({});
    std::lock_guard<std::mutex> lock(startupLogMutex());
    if (logFile().is_open())
        logFile().close();
}

bool startupLogIsOpen() {
    std::lock_guard<std::mutex> lock(startupLogMutex());
    return logFile().is_open();
}

void writeLogLine(const char* domain, GLogLevelFlags level, const char* message) {
    std::lock_guard<std::mutex> lock(startupLogMutex());
    if (!logFile().is_open())
        return;
    logFile() << formatLogLine(std::time(nullptr), domain, level, message);
    logFile().flush();
}

void writeLogLine(const char* domain, GLogLevelFlags level, const std::string& message) {
    writeLogLine(domain, level, message.c_str());
}

void writeLogMessage(const char* domain, const std::string& message) {
    writeLogLine(domain, G_LOG_LEVEL_MESSAGE, message.c_str());
}

void writeLogCritical(const char* domain, const std::string& message) {
    writeLogLine(domain, G_LOG_LEVEL_CRITICAL, message.c_str());
}
