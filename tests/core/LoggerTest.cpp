#include "core/ConsoleLogger.h"
#include "core/FileLogger.h"
#include "core/LoggerManager.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

BaseLogger::TimeDescription fixedTime() {
    BaseLogger::TimeDescription t;
    t.day = "5";
    t.month = "Jan";
    t.year = "2024";
    t.time = "09:07:03";
    return t;
}

std::time_t localInstant(int year, int month, int day, int hour = 12) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// Replaces the "[hh:mm:ss, d/Mon/yyyy]" stamp by "[T]" after checking its shape.
std::string withoutStamp(const std::string& line) {
    static const std::regex stamp(
        R"(\[\d\d:\d\d:\d\d, [1-9]\d?/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{4}\])");
    std::smatch m;
    if (!std::regex_search(line, m, stamp))
        return "no stamp in: " + line;
    return m.prefix().str() + "[T]" + m.suffix().str();
}

std::string setEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
    return value;
}

// Scratch folder unique to this test, also used as the temporary folder.
fs::path scratch() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    fs::path dir =
        fs::path(testing::TempDir()) / (std::string("core_") + info->test_suite_name() + "_" + info->name());
    fs::remove_all(dir);
    fs::create_directories(dir / "tmp");
    setEnv("TMPDIR", (dir / "tmp").string());
    setEnv("TMP", (dir / "tmp").string());
    setEnv("TEMP", (dir / "tmp").string());
    return dir;
}

// Read as text: the logger writes the system's own newline (CR LF on Windows).
std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string expectedFileName(const std::string& name) {
    BaseLogger::TimeDescription now;
    now.updateTime();
    return name + "_" + now.day + "_" + now.month + "_" + now.year + ".log";
}

} // namespace

TEST(TimeDescription, DayHasNoLeadingZeroAndMonthsAreEnglish) {
    // A non-C locale must not change the month names (nor anything else).
    const char* german[] = {"de_DE.UTF-8", "de_DE.utf8", "German_Germany.1252", "German"};
    bool localeSet = false;
    for (const char* name : german)
        localeSet = localeSet || std::setlocale(LC_ALL, name) != nullptr;
    ASSERT_TRUE(localeSet) << "no German locale available to check against";

    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int month = 1; month <= 12; ++month) {
        for (int day : {5, 15}) {
            BaseLogger::TimeDescription t;
            t.updateTime(localInstant(2024, month, day, 7));
            EXPECT_EQ(t.month, months[month - 1]);
            EXPECT_EQ(t.day, std::to_string(day));
            EXPECT_EQ(t.year, "2024");
            EXPECT_EQ(t.time, "07:00:00");
        }
    }
    BaseLogger::TimeDescription last;
    last.updateTime(localInstant(1999, 12, 31, 23));
    EXPECT_EQ(last.day, "31");
    EXPECT_EQ(last.year, "1999");
    std::setlocale(LC_ALL, "C");
}

TEST(TimeDescription, FileNameUsesTheShortDay) {
    EXPECT_EQ(FileLogger::fileName("application", fixedTime()), "application_5_Jan_2024.log");
}

struct ConsoleCase {
    int type;
    std::string expected; // with the stamp replaced by [T]
};

TEST(ConsoleLogger, LineBytesForEveryKind) {
    const ConsoleCase cases[] = {
        {BaseLogger::DEBUG, "\x1b[1;49;34m[T][DEBUG]P: msg [DEBUG]\x1b[0m\n"},
        {BaseLogger::INFO, "\x1b[1;49;32m[T][INFO]P: msg [INFO]\x1b[0m\n"},
        {BaseLogger::WARNING, "\x1b[1;49;33m[T][WARNING]P: msg [WARNING]\x1b[0m\n"},
        {BaseLogger::ERROR, "\x1b[1;49;31m[T][ERROR]P: msg [ERROR]\x1b[0m\n"},
        // No descriptor: uncoloured, empty labels.
        {BaseLogger::FATAL, "\x1b[0;0;0m[T][]P: msg []\x1b[0m\n"},
        {9, "\x1b[0;0;0m[T][]P: msg []\x1b[0m\n"},
    };
    for (const ConsoleCase& c : cases) {
        std::stringstream out;
        std::streambuf* old = std::cout.rdbuf(out.rdbuf());
        ConsoleLogger::getInstance().log("msg", static_cast<BaseLogger::MessageType>(c.type), "P: ");
        std::cout.rdbuf(old);
        EXPECT_EQ(withoutStamp(out.str()), c.expected) << "kind " << c.type;
    }
}

TEST(ConsoleLogger, EmptyPrefixAndMessageKeepBothLabels) {
    ConsoleLogger::LogDescriptor info{"INFO", 1, 32, 49};
    EXPECT_EQ(ConsoleLogger::formatLine(fixedTime(), info, "", ""),
              "\x1b[1;49;32m[09:07:03, 5/Jan/2024][INFO] [INFO]\x1b[0m");
}

TEST(FileLogger, LineBytes) {
    EXPECT_EQ(FileLogger::formatLine(fixedTime(), "WARNING", "msg", "P: "),
              "[09:07:03, 5/Jan/2024][WARNING] P: msg");
    EXPECT_EQ(FileLogger::formatLine(fixedTime(), "", "", ""), "[09:07:03, 5/Jan/2024][] ");
}

TEST(FileLogger, WritesLabelledLinesToTheDatedFileInLogDir) {
    const fs::path dir = scratch() / "nested" / "logs";
    setEnv("TAVISK_LOG_DIR", dir.string());
    LoggerManager& manager = LoggerManager::getInstance();
    manager.setActiveLoggers({LoggerManager::FILE});
    const int kinds[] = {BaseLogger::DEBUG, BaseLogger::INFO,  BaseLogger::WARNING,
                         BaseLogger::ERROR, BaseLogger::FATAL, 9};
    for (int kind : kinds)
        manager.log("m" + std::to_string(kind), static_cast<BaseLogger::MessageType>(kind), "P: ");
    manager.clearAllLoggers();

    const fs::path file = dir / expectedFileName("application");
    ASSERT_TRUE(fs::exists(file)) << file;
    std::istringstream lines(readFile(file));
    const char* labels[] = {"DEBUG", "INFO", "WARNING", "ERROR", "FATAL", ""};
    std::string line;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_EQ(withoutStamp(line), std::string("[T][") + labels[i] + "] P: m" + std::to_string(kinds[i]));
    }
    EXPECT_FALSE(std::getline(lines, line));
}

// An unusable TAVISK_LOG_DIR is passed over for the next folder that works, and the log there
// opens with a WARNING that names the value, why, and the folder used instead.
enum class LogDirObstacle { NONE, FILE_ABOVE, FOLDER_AT_LOGS_NAME };

struct FolderCase {
    std::string name;
    std::string logDir;          // value of TAVISK_LOG_DIR, relative to the scratch folder; empty: set empty
    LogDirObstacle obstacle;     // what stands in TAVISK_LOG_DIR's way
    bool temporaryFolderRefused; // a regular file in place of the temporary folder's candidate
    std::string expectedDir; // where the file must land, relative to the scratch folder; empty: in it (the
                             // current folder)
};

class FileLoggerFolders : public testing::TestWithParam<FolderCase> {};

TEST_P(FileLoggerFolders, FirstWorkingFolderIsUsed) {
    const FolderCase& c = GetParam();
    const fs::path base = scratch();
    const fs::path logDir = base / c.logDir;
    const std::string file = expectedFileName("application");
    if (c.obstacle == LogDirObstacle::FILE_ABOVE)
        std::ofstream(logDir.parent_path()) << "x";
    else if (c.obstacle == LogDirObstacle::FOLDER_AT_LOGS_NAME)
        fs::create_directories(logDir / file / "inside");
    // As the program sees it: Windows spells the temporary folder its own way.
    const fs::path temporary = fs::temp_directory_path() / "TaviskBeaconUtility";
    if (c.temporaryFolderRefused)
        std::ofstream(temporary) << "x";
    setEnv("TAVISK_LOG_DIR", c.logDir.empty() ? std::string() : logDir.string());
    fs::current_path(base);
    LoggerManager& manager = LoggerManager::getInstance();
    manager.setActiveLoggers({LoggerManager::FILE});
    manager.log("first", BaseLogger::INFO, "T: ");
    manager.log("second", BaseLogger::INFO, "T: ");
    manager.clearAllLoggers();

    const fs::path used = c.expectedDir.empty() ? base : base / c.expectedDir;
    ASSERT_TRUE(fs::exists(used / file)) << used / file;
    std::istringstream lines(readFile(used / file));
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);)
        got.push_back(withoutStamp(line));
    std::vector<std::string> expected;
    if (c.obstacle != LogDirObstacle::NONE) {
        // The system's text of a failed mkdir differs between systems: only its start is fixed.
        const std::string cause = c.obstacle == LogDirObstacle::FILE_ABOVE
                                      ? logDir.string() + ": mkdir failed ("
                                      : (logDir / file).string() + ": not a regular file)";
        const std::string start = "[T][WARNING] FileLogger: Log folder " + logDir.string() +
                                  " from TAVISK_LOG_DIR not used (" + cause;
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.front().rfind(start, 0), 0u) << got.front() << "\nexpected to start with\n" << start;
        // The folder used, spelt as the system spells it.
        const std::string marker = "; the log is in ";
        const std::string::size_type in = got.front().rfind(marker);
        ASSERT_NE(in, std::string::npos) << got.front();
        std::error_code ec;
        EXPECT_TRUE(fs::equivalent(got.front().substr(in + marker.size()), used, ec)) << got.front();
        expected.push_back(got.front());
    }
    if (c.temporaryFolderRefused)
        expected.push_back("[T][WARNING] FileLogger: Log folder " + temporary.string() + " not used (" +
                           temporary.string() + ": a regular file, not a folder)");
    expected.push_back("[T][INFO] T: first");
    expected.push_back("[T][INFO] T: second");
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, FileLoggerFolders,
    testing::Values(FolderCase{"LogDirSet", "mine", LogDirObstacle::NONE, false, "mine"},
                    FolderCase{"LogDirEmpty", "", LogDirObstacle::NONE, false, "tmp/TaviskBeaconUtility"},
                    FolderCase{"LogDirBelowAFile", "plain-file/logs", LogDirObstacle::FILE_ABOVE, false,
                               "tmp/TaviskBeaconUtility"},
                    FolderCase{"LogDirWithAFolderAtTheLogsName", "mine", LogDirObstacle::FOLDER_AT_LOGS_NAME,
                               false, "tmp/TaviskBeaconUtility"},
                    FolderCase{"LogDirAndTemporaryFolderUnusable", "plain-file/logs",
                               LogDirObstacle::FILE_ABOVE, true, ""}),
    [](const testing::TestParamInfo<FolderCase>& info) { return info.param.name; });

TEST(FileLogger, TruncatesAnEarlierFileOfTheSameDay) {
    const fs::path dir = scratch() / "logs";
    fs::create_directories(dir);
    setEnv("TAVISK_LOG_DIR", dir.string());
    const fs::path file = dir / expectedFileName("application");
    std::ofstream(file) << "a line of an earlier run\n";

    LoggerManager& manager = LoggerManager::getInstance();
    manager.setActiveLoggers({LoggerManager::FILE});
    manager.log("new run", BaseLogger::ERROR, "");
    manager.clearAllLoggers();
    EXPECT_EQ(withoutStamp(readFile(file)), "[T][ERROR] new run\n");
}

// In the current folder, a name taken by what may not be written is left alone for the next
// one. With every name taken there is no log file: the WARNINGs go to standard error, once,
// and a file is made as soon as a name is free.
TEST(FileLogger, WithoutALogFileTheWarningsGoToStandardErrorOnce) {
    const fs::path base = scratch();
    const fs::path temporary = base / "tmp" / "TaviskBeaconUtility";
    std::ofstream(temporary) << "x";
    setEnv("TAVISK_LOG_DIR", "");
    const std::string file = expectedFileName("application");
    const std::string stem = file.substr(0, file.size() - 4);
    std::vector<fs::path> names = {base / file};
    for (int number = 2; number <= 5; ++number)
        names.push_back(base / (stem + "-" + std::to_string(number) + ".log"));
    for (const fs::path& name : names)
        fs::create_directories(name);
    fs::current_path(base);

    std::stringstream errors;
    std::streambuf* old = std::cerr.rdbuf(errors.rdbuf());
    LoggerManager& manager = LoggerManager::getInstance();
    manager.setActiveLoggers({LoggerManager::FILE});
    manager.log("dropped", BaseLogger::INFO, "");
    manager.log("dropped too", BaseLogger::INFO, "");
    fs::remove(names.back());
    manager.log("kept", BaseLogger::INFO, "");
    manager.clearAllLoggers();
    std::cerr.rdbuf(old);

    const std::string refusal = "[T][WARNING] FileLogger: Log folder " + temporary.string() + " not used (" +
                                temporary.string() + ": a regular file, not a folder)";
    std::vector<std::string> expected = {refusal};
    for (const fs::path& name : names)
        expected.push_back("[T][WARNING] FileLogger: Log file " + name.string() +
                           " not used (not a regular file)");
    expected.push_back("[T][WARNING] FileLogger: No log file could be created: its lines are dropped");
    std::vector<std::string> got;
    for (std::string line; std::getline(errors, line);)
        got.push_back(withoutStamp(line));
    EXPECT_EQ(got, expected);

    expected.pop_back();
    expected.back() = "[T][INFO] kept";
    std::istringstream lines(readFile(names.back()));
    got.clear();
    for (std::string line; std::getline(lines, line);)
        got.push_back(withoutStamp(line));
    EXPECT_EQ(got, expected);
}

#ifndef _WIN32
TEST(FileLogger, TemporaryFolderIsPrivate) {
    const fs::path base = scratch();
    setEnv("TAVISK_LOG_DIR", "");
    LoggerManager& manager = LoggerManager::getInstance();
    manager.setActiveLoggers({LoggerManager::FILE});
    manager.log("x", BaseLogger::INFO, "");
    manager.clearAllLoggers();
    const auto perms = fs::status(base / "tmp" / "TaviskBeaconUtility").permissions();
    EXPECT_EQ(perms & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
}

// A temporary folder that is not the user's own is passed over for the current folder, and
// the log there opens with one WARNING that names the folder and the cause.
struct RefusedFolderCase {
    std::string name;
    std::string reason;
};

class FileLoggerRefusedFolder : public testing::TestWithParam<RefusedFolderCase> {};

TEST_P(FileLoggerRefusedFolder, IsNamedWithItsCauseInTheLogThatFollows) {
    const RefusedFolderCase& c = GetParam();
    const fs::path base = scratch();
    const fs::path folder = base / "tmp" / "TaviskBeaconUtility";
    fs::create_directories(base / "elsewhere");
    if (c.name == "Link") {
        fs::create_directory_symlink(base / "elsewhere", folder);
    } else if (c.name == "RegularFile") {
        std::ofstream(folder) << "x";
    } else {
        fs::create_directories(folder);
        const uid_t other = ::geteuid() == 65534 ? 65533 : 65534; // not the user's own, in any case
        if (::chown(folder.c_str(), other, other) != 0)
            GTEST_SKIP() << "handing a folder to another user needs root";
    }
    setEnv("TAVISK_LOG_DIR", "");
    fs::current_path(base);
    LoggerManager& manager = LoggerManager::getInstance();
    manager.setActiveLoggers({LoggerManager::FILE});
    manager.log("x", BaseLogger::INFO, "");
    manager.log("y", BaseLogger::INFO, "");
    manager.clearAllLoggers();
    EXPECT_TRUE(fs::is_empty(base / "elsewhere"));
    std::istringstream lines(readFile(base / expectedFileName("application"))); // the current folder
    std::string line;
    std::vector<std::string> got;
    while (std::getline(lines, line))
        got.push_back(withoutStamp(line));
    const std::vector<std::string> expected = {
        "[T][WARNING] FileLogger: Log folder " + folder.string() + " not used (" + folder.string() + ": " +
            c.reason + ")",
        "[T][INFO] x",
        "[T][INFO] y",
    };
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Causes, FileLoggerRefusedFolder,
                         testing::Values(RefusedFolderCase{"Link", "a symbolic link"},
                                         RefusedFolderCase{"RegularFile", "a regular file, not a folder"},
                                         RefusedFolderCase{"OtherUsersFolder", "owned by another user"}),
                         [](const testing::TestParamInfo<RefusedFolderCase>& info) {
                             return info.param.name;
                         });
#endif
