#include "app/RuntimeEnvironment.h"
#include "app/StartupLog.h"
#include "tests/app/ChildProcess.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using tavisk::test::readFile;
using tavisk::test::runInChild;
using tavisk::test::TempFolder;
using tavisk::test::withoutTimestamps;

namespace {

const char* const kIconFiles[] = {
    "index.theme",
    "16x16/actions/edit-find-symbolic.xpm",
    "16x16/actions/gtk-refresh.xpm",
    "16x16/devices/computer.xpm",
    "16x16/devices/drive-harddisk.xpm",
    "16x16/devices/drive-removable-media.xpm",
    "16x16/places/folder.xpm",
    "16x16/places/folder-documents.xpm",
    "16x16/places/folder-download.xpm",
    "16x16/places/user-home-symbolic-ltr.xpm",
    "16x16/places/user-home-symbolic.xpm",
    "16x16/places/user-desktop.xpm",
    "16x16/status/image-missing.xpm",
    "256x256/apps/taviskbeaconutility.png",
    "scalable/apps/taviskbeaconutility.svg",
};

std::string resourceBytes(const std::string& path) {
    GBytes* bytes = g_resources_lookup_data(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    if (bytes == nullptr)
        return "<missing resource>";
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    std::string copy(data, size);
    g_bytes_unref(bytes);
    return copy;
}

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "(unset)";
}

void touch(const fs::path& path, const std::string& content = "x") {
    std::ofstream(path) << content;
}

// A start-up log in a fresh folder, read back without timestamps.
class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(openStartupLog(logPath())); }
    void TearDown() override { closeStartupLog(); }
    std::string logPath() const { return temp.path() + "/startup.log"; }
    // The lines after the two opening lines.
    std::string lines() const {
        const std::string all = withoutTimestamps(readFile(logPath()));
        const auto second = all.find('\n', all.find('\n') + 1);
        return all.substr(second + 1);
    }
    TempFolder temp;
};

TEST(RuntimeFolderName, SanitisedBytewise) {
    struct Case {
        std::optional<fs::path> executable;
        const char* expected;
    };
    const Case cases[] = {
        {fs::path("/opt/tools/Beacon Tool (2).exe"), "TaviskBeaconUtility-runtime-Beacon_Tool__2_"},
        {fs::path("/opt/tools/TaviskBeaconUtility"), "TaviskBeaconUtility-runtime-TaviskBeaconUtility"},
        {fs::path("/opt/tools/tool-v1.2_rc.bin"), "TaviskBeaconUtility-runtime-tool-v1.2_rc"},
        {fs::path(u8"/opt/tools/Маяк.exe"), "TaviskBeaconUtility-runtime-________"},
        {fs::path("/opt/tools/a+b=c;d"), "TaviskBeaconUtility-runtime-a_b_c_d"},
        {std::nullopt, "TaviskBeaconUtility-runtime-default"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(runtimeFolderName(c.executable), c.expected);
    EXPECT_EQ(sanitizeRuntimeName(u8"é"), "__"); // one letter, two bytes
    EXPECT_EQ(sanitizeRuntimeName(""), "");
}

TEST(ExecutableFolder, VariablesFollowWhatLiesBesideTheExecutable) {
    struct Case {
        const char* name;
        std::vector<const char*> folders;
        std::vector<const char*> files;
        bool dataDirs;         // XDG_DATA_DIRS := folder/share in front of the system's
        const char* schemaDir; // relative to the folder, or null for unset
    };
    const Case cases[] = {
        {"nothing beside it", {}, {}, false, nullptr},
        {"share", {"share"}, {}, true, nullptr},
        {"share schemas", {"share/glib-2.0/schemas"}, {}, true, "share/glib-2.0/schemas"},
        {"own schemas", {"glib-2.0/schemas"}, {}, false, "glib-2.0/schemas"},
        {"both schemas", {"share/glib-2.0/schemas", "glib-2.0/schemas"}, {}, true, "glib-2.0/schemas"},
        {"a file named share", {}, {"share"}, true, nullptr},
    };
    for (const auto& c : cases) {
        TempFolder temp;
        const fs::path folder = temp.path();
        for (const char* sub : c.folders)
            fs::create_directories(folder / sub);
        for (const char* file : c.files)
            touch(folder / file);
        const auto result = runInChild([&] {
            ::setenv("XDG_DATA_DIRS", "/sys/data", 1);
            ::unsetenv("GSETTINGS_SCHEMA_DIR");
            ::unsetenv("GTK_DATA_PREFIX");
            setEnvironmentFromExecutableFolder(folder / "Tool.exe");
            std::printf("%s\n%s\n%s", env("XDG_DATA_DIRS").c_str(), env("GTK_DATA_PREFIX").c_str(),
                        env("GSETTINGS_SCHEMA_DIR").c_str());
            return 0;
        });
        ASSERT_TRUE(result.exited) << c.name;
        const std::string dataDirs = c.dataDirs ? (folder / "share").string() + ":/sys/data" : "/sys/data";
        const std::string schemas = c.schemaDir ? (folder / c.schemaDir).string() : "(unset)";
        EXPECT_EQ(result.out, dataDirs + "\n" + folder.string() + "\n" + schemas) << c.name;
    }

    const auto unknown = runInChild([] {
        ::unsetenv("GTK_DATA_PREFIX");
        setEnvironmentFromExecutableFolder(std::nullopt);
        std::printf("%s", env("GTK_DATA_PREFIX").c_str());
        return 0;
    });
    EXPECT_EQ(unknown.out, "(unset)");
}

using ResourceCopy = LoggedTest;

TEST_F(ResourceCopy, WritesOnceAndNeverOverwrites) {
    const fs::path destination = fs::path(temp.path()) / "deep" / "er" / "index.theme";
    const char* resource = "/taviskbeaconutility/icons/hicolor/index.theme";
    ASSERT_TRUE(writeResourceToFileIfMissing(resource, destination));
    EXPECT_EQ(readFile(destination), resourceBytes(resource));

    touch(destination, "stale"); // a stale or truncated copy stays as it is
    EXPECT_TRUE(writeResourceToFileIfMissing(resource, destination));
    EXPECT_EQ(readFile(destination), "stale");
    EXPECT_EQ(lines(), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(destination.parent_path()), fs::directory_iterator()), 1)
        << "something beside the copy stayed behind";
}

TEST_F(ResourceCopy, FailuresAreReportedAndLeaveNoFile) {
    // A regular file where the destination's folder should be.
    touch(fs::path(temp.path()) / "blocked");
    const fs::path blocked = fs::path(temp.path()) / "blocked" / "icons" / "index.theme";
    EXPECT_FALSE(writeResourceToFileIfMissing("/taviskbeaconutility/icons/hicolor/index.theme", blocked));

    const fs::path unknown = fs::path(temp.path()) / "unknown.bin";
    EXPECT_FALSE(writeResourceToFileIfMissing("/taviskbeaconutility/no/such/resource", unknown));
    EXPECT_FALSE(fs::exists(unknown));

    const std::string text = lines();
    EXPECT_NE(text.find("[WARNING] [FS] mkdir failed: " + blocked.string() + "\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("[WARNING] [GResource] extract failed: /taviskbeaconutility/no/such/resource ("),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("does not exist)\n"), std::string::npos) << text;
}

TEST_F(ResourceCopy, ShortWriteLeavesNeitherFileNorFragment) {
    // The file-size limit cuts the write short, as a full disk would.
    const fs::path destination = fs::path(temp.path()) / "apps" / "taviskbeaconutility.png";
    const auto result = runInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            1024, 1024
        };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        return writeResourceToFileIfMissing(
                   "/taviskbeaconutility/icons/hicolor/256x256/apps/taviskbeaconutility.png", destination)
                   ? 1
                   : 0;
    });
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0) << "a short write was reported as success";
    EXPECT_FALSE(fs::exists(destination));
    EXPECT_TRUE(fs::is_empty(destination.parent_path())) << "a fragment stayed behind";
    EXPECT_NE(lines().find("[WARNING] [FS] write failed: " + destination.string() + "\n"), std::string::npos)
        << lines();
}

// One run of ensurePortableRuntimeData in a child; returns "XDG_DATA_DIRS\nGSETTINGS_SCHEMA_DIR\nshare".
std::string prepareRuntime(const fs::path& tempDir, const char* dataDirs = "/sys/data") {
    const auto result = runInChild([&] {
        ::setenv("XDG_DATA_DIRS", dataDirs, 1);
        ::unsetenv("GSETTINGS_SCHEMA_DIR");
        ensurePortableRuntimeData(fs::path("/opt/Beacon Tool.exe"), tempDir);
        const auto share = portableShareDir();
        std::printf("%s\n%s\n%s", env("XDG_DATA_DIRS").c_str(), env("GSETTINGS_SCHEMA_DIR").c_str(),
                    share ? share->c_str() : "(none)");
        return 0;
    });
    return result.exited ? result.out : "<child failed>";
}

using RuntimeFolder = LoggedTest;

TEST_F(RuntimeFolder, FirstRunCopiesEverythingAndLaterRunsOnlySetTheVariables) {
    const fs::path runtime = fs::path(temp.path()) / "TaviskBeaconUtility-runtime-Beacon_Tool";
    const fs::path share = runtime / "share";
    const std::string expected =
        share.string() + ":/sys/data\n" + (share / "glib-2.0" / "schemas").string() + "\n" + share.string();

    ASSERT_EQ(prepareRuntime(temp.path()), expected);
    for (const char* relative : kIconFiles)
        EXPECT_EQ(readFile(share / "icons" / "hicolor" / relative),
                  resourceBytes(std::string("/taviskbeaconutility/icons/hicolor/") + relative))
            << relative;
    EXPECT_EQ(readFile(share / "glib-2.0" / "schemas" / "gschemas.compiled"),
              resourceBytes("/taviskbeaconutility/gsettings/gschemas.compiled"));
    struct stat info {};
    ASSERT_EQ(::stat(runtime.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << "the runtime folder sits in a shared folder";

    touch(share / "icons" / "hicolor" / "index.theme", "stale");
    EXPECT_EQ(prepareRuntime(temp.path()), expected);
    EXPECT_EQ(readFile(share / "icons" / "hicolor" / "index.theme"), "stale");
    EXPECT_EQ(lines(), "") << "a second run wrote or complained";
}

TEST_F(RuntimeFolder, FailedIndexCopyKeepsTheDataFoldersAsTheyWere) {
    const fs::path share = fs::path(temp.path()) / "TaviskBeaconUtility-runtime-Beacon_Tool" / "share";
    fs::create_directories(share);
    touch(share / "icons"); // the theme cannot be made; the schemas can
    EXPECT_EQ(prepareRuntime(temp.path()),
              "/sys/data\n" + (share / "glib-2.0" / "schemas").string() + "\n" + share.string());
    EXPECT_NE(lines().find("[WARNING] [FS] folder not used: " + (share / "icons").string() +
                           ": a regular file, not a folder\n"),
              std::string::npos)
        << lines();
}

// A runtime folder that is not the user's own is not used, and its warning names the cause.
TEST_F(RuntimeFolder, FolderThatIsNotOursIsNotUsedAndTheWarningSaysWhy) {
    struct Case {
        const char* name;
        const char* line; // after the folder's path
        bool mkdirFailed;
    };
    const Case cases[] = {
        {"link", ": a symbolic link", false},
        {"file", ": a regular file, not a folder", false},
        {"other", ": owned by another user", false},
        {"blocked", " (Not a directory)", true},
    };
    for (const Case& c : cases) {
        const fs::path base = fs::path(temp.path()) / c.name;
        fs::path tempDir = base;
        const fs::path elsewhere = base / "someone-elses";
        fs::create_directories(elsewhere);
        const fs::path runtime = base / "TaviskBeaconUtility-runtime-Beacon_Tool";
        if (std::string(c.name) == "link") {
            fs::create_directory_symlink(elsewhere, runtime);
        } else if (std::string(c.name) == "file") {
            touch(runtime);
        } else if (std::string(c.name) == "other") {
            fs::create_directories(runtime);
            const uid_t other = ::geteuid() == 65534 ? 65533 : 65534; // not the user's own, in any case
            if (::chown(runtime.c_str(), other, other) != 0)
                continue; // handing a folder to another user needs root
        } else {
            touch(base / "plain");
            tempDir = base / "plain";
        }
        const fs::path folder = tempDir / "TaviskBeaconUtility-runtime-Beacon_Tool";
        const std::string before = lines();
        EXPECT_EQ(prepareRuntime(tempDir), "/sys/data\n(unset)\n(none)") << c.name;
        EXPECT_TRUE(fs::is_empty(elsewhere)) << c.name;
        const std::string expected = std::string("[WARNING] [FS] ") +
                                     (c.mkdirFailed ? "mkdir failed: " : "runtime folder not used: ") +
                                     folder.string() + c.line + "\n";
        EXPECT_EQ(lines().substr(before.size()), expected) << c.name;
    }
}

using EnvironmentReport = LoggedTest;

TEST_F(EnvironmentReport, VariablesAndResources) {
    ::setenv("TAVISK_TEST_SET", "/a:/b", 1);
    ::setenv("TAVISK_TEST_EMPTY", "", 1);
    ::unsetenv("TAVISK_TEST_UNSET");
    logEnvIfSet("TAVISK_TEST_SET");
    logEnvIfSet("TAVISK_TEST_EMPTY");
    logEnvIfSet("TAVISK_TEST_UNSET");
    logResourcePresence("/taviskbeaconutility/ui/UserInterface.glade");
    logResourcePresence("/taviskbeaconutility/ui/Missing.glade");
    const std::string text = lines();
    EXPECT_EQ(text.substr(0, text.find("[WARNING]")),
              "[MESSAGE] [Env] TAVISK_TEST_SET=/a:/b\n"
              "[MESSAGE] [Env] TAVISK_TEST_EMPTY=\n"
              "[MESSAGE] [Env] TAVISK_TEST_UNSET is not set\n"
              "[MESSAGE] [GResource] OK: /taviskbeaconutility/ui/UserInterface.glade\n");
    EXPECT_NE(text.find("[WARNING] [GResource] Missing: /taviskbeaconutility/ui/Missing.glade ("),
              std::string::npos)
        << text;
}

} // namespace
