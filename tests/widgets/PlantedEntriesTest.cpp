// Entries that another user plants in the program's folders in the shared temporary folder:
// the runtime folder, the application log's folder and the folder of the preinstalled
// firmware copies; and at the log's name in the current folder, where the log goes when the
// temporary folder cannot be used. Nothing planted may be written through, written to or used.
#include "app/RuntimeEnvironment.h"
#include "core/FileLogger.h"
#include "core/LoggerManager.h"
#include "tests/app/ChildProcess.h"
#include "tests/widgets/BuiltWidgets.h"

#include <gio/gio.h>
#include <glibmm/miscutils.h>
#include <gtest/gtest.h>
#include <gtkmm/switch.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using tavisk::test::BuiltWidgets;
using tavisk::test::runInChild;
using tavisk::test::TempFolder;

// Another user: nobody's id, given to planted entries when the test may hand out files.
constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65534;

enum class Place {
    RUNTIME,
    LOG,
    FIRMWARE,
    CURRENT_FOLDER_LOG, // the log's name in the current folder; the temporary folder's is a file
};
enum class Planted {
    LINK_TO_OTHER_FOLDER,  // "share" in the runtime folder, pointing at another user's folder
    OTHER_USERS_FILE,      // the file the program would use, owned by another user, mode 0666
    LOOSE_OWN_FILE,        // the same file, the user's own but writable by everyone
    HARD_LINK_TO_OWN_FILE, // the same name, a second name of a file of the user's own elsewhere
    // The hard link beside an entry that emptying cannot remove (folders nested deeper than it
    // goes; root could remove another user's files), in a folder others could write to: the
    // folder stays refused, on the program's second start as on its first.
    HARD_LINK_IN_FOLDER_THAT_STAYS_FULL,
};

struct PlantedCase {
    const char* name;
    Place place;
    mode_t folderMode; // of the folder the entry is planted in: 0777 is emptied before use
    Planted planted;
};

std::ostream& operator<<(std::ostream& out, const PlantedCase& c) {
    return out << c.name;
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What the other user reads through the descriptor they kept open.
std::string readFrom(int fd) {
    std::string content;
    char block[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = ::read(fd, block, sizeof block)) > 0;)
        content.append(block, static_cast<std::size_t>(got));
    return content;
}

std::string resourceBytes(const char* path) {
    GBytes* bytes = g_resources_lookup_data(path, G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    if (bytes == nullptr)
        return {};
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    std::string copy(data, size);
    g_bytes_unref(bytes);
    return copy;
}

// A file that may be trusted: the user's own regular file that nobody else may write.
::testing::AssertionResult trusted(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return ::testing::AssertionFailure() << path << " is missing";
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0)
        return ::testing::AssertionFailure()
               << path << ": mode " << std::oct << st.st_mode << std::dec << ", owner " << st.st_uid;
    return ::testing::AssertionSuccess();
}

ino_t inodeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

ino_t plantedInode(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

class PlantedEntry : public ::testing::TestWithParam<PlantedCase> {
protected:
    void SetUp() override {
        const PlantedCase& c = GetParam();
        if (c.planted == Planted::OTHER_USERS_FILE && ::geteuid() != 0)
            GTEST_SKIP() << "handing a file to another user needs root";
    }

    // The folder below root with the row's mode (the folders between private), and the entry
    // planted in it. For a planted file, returns the descriptor that its owner keeps open (for
    // a hard link, that of the user's own file, which holds the content).
    int plant(const fs::path& root, const fs::path& folder, const std::string& name,
              const std::string& content) {
        fs::create_directories(folder);
        for (fs::path up = folder; up != root; up = up.parent_path())
            ::chmod(up.c_str(), 0700);
        ::chmod(folder.c_str(), GetParam().folderMode);
        const fs::path entry = folder / name;
        if (GetParam().planted == Planted::HARD_LINK_TO_OWN_FILE ||
            GetParam().planted == Planted::HARD_LINK_IN_FOLDER_THAT_STAYS_FULL) {
            if (GetParam().planted == Planted::HARD_LINK_IN_FOLDER_THAT_STAYS_FULL) {
                fs::path nested = folder / "stuck";
                for (int depth = 0; depth < 100; ++depth)
                    nested /= "d";
                fs::create_directories(nested);
            }
            const int fd = ::open(usersFile().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
            EXPECT_GE(fd, 0) << usersFile();
            EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
            EXPECT_EQ(::link(usersFile().c_str(), entry.c_str()), 0) << entry;
            plantedFd = fd;
            return fd;
        }
        if (GetParam().planted == Planted::LINK_TO_OTHER_FOLDER) {
            fs::create_directories(victim());
            ::chmod(victim().c_str(), 0777);
            if (::geteuid() == 0) {
                EXPECT_EQ(::chown(victim().c_str(), kOtherUser, kOtherGroup), 0);
            }
            fs::create_directory_symlink(victim(), entry);
            return -1;
        }
        const int fd = ::open(entry.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
        EXPECT_GE(fd, 0) << entry;
        EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        EXPECT_EQ(::fchmod(fd, 0666), 0);
        if (GetParam().planted == Planted::OTHER_USERS_FILE) {
            EXPECT_EQ(::fchown(fd, kOtherUser, kOtherGroup), 0);
        }
        plantedFd = fd;
        return fd;
    }

    void TearDown() override {
        if (plantedFd >= 0)
            ::close(plantedFd);
    }

    fs::path victim() const { return fs::path(scratch.path()) / "other-user"; }
    fs::path usersFile() const { return fs::path(scratch.path()) / "notes.txt"; }

    TempFolder scratch;
    int plantedFd = -1;
};

TEST_P(PlantedEntry, IsNeitherUsedNorWrittenThrough) {
    const PlantedCase& c = GetParam();
    const fs::path temp = fs::path(scratch.path()) / "tmp";
    switch (c.place) {
    case Place::RUNTIME: {
        const fs::path runtime = temp / "TaviskBeaconUtility-runtime-Beacon_Tool";
        plant(scratch.path(), runtime, "share", "");
        const auto result = runInChild([&] {
            ::setenv("XDG_DATA_DIRS", "/sys/data", 1);
            ::unsetenv("GSETTINGS_SCHEMA_DIR");
            ensurePortableRuntimeData(fs::path("/opt/Beacon Tool.exe"), temp);
            const auto share = portableShareDir();
            const char* schemas = std::getenv("GSETTINGS_SCHEMA_DIR");
            std::printf("%s\n%s\n%s", std::getenv("XDG_DATA_DIRS"), schemas ? schemas : "(unset)",
                        share ? share->c_str() : "(none)");
            return 0;
        });
        ASSERT_TRUE(result.exited);
        EXPECT_TRUE(fs::is_empty(victim())) << "files were written into the other user's folder";
        EXPECT_EQ(result.out.find(victim().string()), std::string::npos) << result.out;
        const fs::path share = runtime / "share";
        if (c.folderMode == 0777) {
            // Emptied, then built afresh.
            EXPECT_TRUE(trusted(share / "icons" / "hicolor" / "index.theme"));
            EXPECT_EQ(result.out, share.string() + ":/sys/data\n" +
                                      (share / "glib-2.0" / "schemas").string() + "\n" + share.string());
        } else {
            EXPECT_EQ(result.out, "/sys/data\n(unset)\n(none)");
        }
        break;
    }
    case Place::LOG:
    case Place::CURRENT_FOLDER_LOG: {
        const fs::path folder = temp / "TaviskBeaconUtility";
        const fs::path current = fs::path(scratch.path()) / "current";
        BaseLogger::TimeDescription now;
        now.updateTime();
        const std::string name = FileLogger::fileName("application", now);
        int fd = -1;
        if (c.place == Place::LOG) {
            fd = plant(scratch.path(), folder, name, "planted\n");
            fs::create_directories(current);
        } else {
            fd = plant(scratch.path(), current, name, "planted\n");
            std::ofstream(folder) << "in the way";
        }
        const bool twice = c.planted == Planted::HARD_LINK_IN_FOLDER_THAT_STAYS_FULL;
        for (int start = 1; start <= (twice ? 2 : 1); ++start) {
            const auto result = runInChild([&] {
                ::setenv("TMPDIR", temp.c_str(), 1);
                ::unsetenv("TAVISK_LOG_DIR");
                fs::current_path(current);
                LoggerManager::getInstance().setActiveLoggers({LoggerManager::FILE});
                LoggerManager::getInstance().log("secret " + std::to_string(start), BaseLogger::INFO, "T: ");
                return 0;
            });
            ASSERT_TRUE(result.exited);
        }
        const std::string secret = "[INFO] T: secret " + std::string(twice ? "2" : "1") + "\n";
        EXPECT_EQ(readFrom(fd), "planted\n") << "the planted file received the log";
        if (c.place == Place::LOG && !twice) {
            // Replaced in the private folder.
            EXPECT_TRUE(trusted(folder / name));
            EXPECT_NE(readAll(folder / name).find(secret), std::string::npos);
        } else if (c.place == Place::LOG) {
            // Refused on either start, and left open to be emptied again: the log is in the
            // current folder.
            EXPECT_TRUE(trusted(current / name));
            const std::string log = readAll(current / name);
            EXPECT_NE(log.find("Log folder " + folder.string() + " not used (" + folder.string() +
                               ": writable by group or others, and its entries could not all be removed"),
                      std::string::npos)
                << log;
            EXPECT_NE(log.find(secret), std::string::npos) << log;
            EXPECT_EQ(readAll(folder / name).find("secret"), std::string::npos);
            struct stat st {};
            ASSERT_EQ(::stat(folder.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0777u);
        } else {
            // Left as it was, and the log under the next name.
            EXPECT_EQ(inodeOf(current / name), plantedInode(fd));
            const fs::path other = current / (name.substr(0, name.size() - 4) + "-2.log");
            EXPECT_TRUE(trusted(other));
            const std::string log = readAll(other);
            EXPECT_NE(log.find("Log file " + (current / name).string() + " not used ("), std::string::npos)
                << log;
            EXPECT_NE(log.find(secret), std::string::npos) << log;
        }
        break;
    }
    case Place::FIRMWARE: {
        // GLib fixed the temporary folder when the process started: clear it for this row.
        const fs::path base = fs::u8path(Glib::get_tmp_dir()) / "TaviskBeaconUtility";
        fs::remove_all(base);
        const char* resource = "/taviskbeaconutility/firmware/Halvin_2.13.319.f75a0c3_aes.bin";
        const std::string image = resourceBytes(resource);
        ASSERT_FALSE(image.empty());
        const fs::path copy = base / "firmware" / "Halvin_2.13.319.f75a0c3_aes.bin";
        const int fd = plant(base.parent_path(), copy.parent_path(), copy.filename(), image);
        struct stat plantedStat {};
        ASSERT_EQ(::fstat(fd, &plantedStat), 0);

        BuiltWidgets widgets;
        auto modeSwitch =
            Glib::RefPtr<Gtk::Switch>::cast_dynamic(widgets.builder->get_object("FirmwareSourceModeSwitch"));
        widgets.selectFirmwareBox->esp32Inactive();
        widgets.selectFirmwareBox->stm32Active();
        modeSwitch->set_active(true);
        if (c.planted == Planted::HARD_LINK_IN_FOLDER_THAT_STAYS_FULL) {
            // The switch asked for the copy once already; this asks again.
            EXPECT_EQ(widgets.selectFirmwareBox->getFilePath(), "")
                << "a folder that was not emptied was used";
            struct stat st {};
            ASSERT_EQ(::stat(copy.parent_path().c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0777u);
        } else {
            EXPECT_EQ(widgets.selectFirmwareBox->getFilePath(), copy.u8string());
            EXPECT_TRUE(trusted(copy));
            EXPECT_NE(inodeOf(copy), plantedStat.st_ino) << "the planted copy is the upload path";
            EXPECT_EQ(readAll(copy), image);
        }
        EXPECT_EQ(readFrom(fd), image);
        fs::remove_all(base);
        break;
    }
    }
}

INSTANTIATE_TEST_SUITE_P(
    SharedTemporaryFolder, PlantedEntry,
    ::testing::Values(
        PlantedCase{"LinkInWritableRuntimeFolder", Place::RUNTIME, 0777, Planted::LINK_TO_OTHER_FOLDER},
        PlantedCase{"LinkInPrivateRuntimeFolder", Place::RUNTIME, 0700, Planted::LINK_TO_OTHER_FOLDER},
        PlantedCase{"OtherUsersLogInWritableFolder", Place::LOG, 0777, Planted::OTHER_USERS_FILE},
        PlantedCase{"OtherUsersLogInPrivateFolder", Place::LOG, 0700, Planted::OTHER_USERS_FILE},
        PlantedCase{"LooseOwnLogInPrivateFolder", Place::LOG, 0700, Planted::LOOSE_OWN_FILE},
        PlantedCase{"OtherUsersCopyInWritableFolder", Place::FIRMWARE, 0777, Planted::OTHER_USERS_FILE},
        PlantedCase{"OtherUsersCopyInPrivateFolder", Place::FIRMWARE, 0700, Planted::OTHER_USERS_FILE},
        PlantedCase{"LooseOwnCopyInPrivateFolder", Place::FIRMWARE, 0700, Planted::LOOSE_OWN_FILE},
        PlantedCase{"HardLinkLogInPrivateFolder", Place::LOG, 0700, Planted::HARD_LINK_TO_OWN_FILE},
        PlantedCase{"HardLinkLogInFolderThatCannotBeEmptied", Place::LOG, 0777,
                    Planted::HARD_LINK_IN_FOLDER_THAT_STAYS_FULL},
        PlantedCase{"HardLinkCopyInPrivateFolder", Place::FIRMWARE, 0700, Planted::HARD_LINK_TO_OWN_FILE},
        PlantedCase{"HardLinkCopyInFolderThatCannotBeEmptied", Place::FIRMWARE, 0777,
                    Planted::HARD_LINK_IN_FOLDER_THAT_STAYS_FULL},
        PlantedCase{"OtherUsersLogInCurrentFolder", Place::CURRENT_FOLDER_LOG, 0777,
                    Planted::OTHER_USERS_FILE},
        PlantedCase{"LooseOwnLogInCurrentFolder", Place::CURRENT_FOLDER_LOG, 0777, Planted::LOOSE_OWN_FILE},
        PlantedCase{"HardLinkLogInCurrentFolder", Place::CURRENT_FOLDER_LOG, 0777,
                    Planted::HARD_LINK_TO_OWN_FILE}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
