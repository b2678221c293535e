#include "tests/support/LogCapture.h"
#include "tests/widgets/BuiltWidgets.h"
#include "tests/widgets/WidgetTestSupport.h"

#include <gio/gio.h>
#include <glibmm/fileutils.h>
#include <glibmm/miscutils.h>
#include <gtest/gtest.h>
#include <gtkmm/button.h>
#include <gtkmm/searchentry.h>
#include <gtkmm/switch.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

// The getter that the generated bundle source exports.
extern "C" GResource* tavisk_test_firmware_get_resource(void);

namespace {

using tavisk::test::BuiltWidgets;
using tavisk::test::FakeHandlers;
using tavisk::test::LogCapture;
using TaviskBiaconWidgets::SelectFirmwareBox;
namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

ino_t inodeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

const std::string esp32Image = readFile(TAVISK_TEST_FIRMWARE_DIR "/esp32_image.bin");
const std::string stm32Image = readFile(TAVISK_TEST_FIRMWARE_DIR "/stm32_image.bin");

class SelectFirmware : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(esp32Image.empty());
        widgets = std::make_unique<BuiltWidgets>();
        box = widgets->selectFirmwareBox;
        auto get = [&](const char* id) { return widgets->builder->get_object(id); };
        modeSwitch = Glib::RefPtr<Gtk::Switch>::cast_dynamic(get("FirmwareSourceModeSwitch"));
        esp32Button = Glib::RefPtr<Gtk::Button>::cast_dynamic(get("SelectFirmwareEsp32Button"));
        stm32Button = Glib::RefPtr<Gtk::Button>::cast_dynamic(get("SelectFirmwareStm32Button"));
        esp32Entry = Glib::RefPtr<Gtk::SearchEntry>::cast_dynamic(get("SelectFirmwareSearchEntryEsp32"));
        stm32Entry = Glib::RefPtr<Gtk::SearchEntry>::cast_dynamic(get("SelectFirmwareSearchEntryStm32"));
        upload = Glib::RefPtr<Gtk::Button>::cast_dynamic(get("UploadButton"));
        selectStm32();
    }

    // What the main window's target handlers do.
    void selectStm32() {
        box->esp32Inactive();
        box->stm32Active();
    }
    void selectEsp32() {
        box->stm32Inactive();
        box->esp32Active();
    }
    void choose(const std::string& path, HandlersFuncKeys key) {
        std::string chosen = path;
        box->setFilePath(chosen, key);
    }

    fs::path copyFolder() const {
        return fs::u8path(Glib::get_tmp_dir()) / "TaviskBeaconUtility" / "firmware";
    }
    fs::path esp32Copy() const { return copyFolder() / "tavisk_firmware.bin"; }
    fs::path stm32Copy() const { return copyFolder() / "Halvin_2.13.319.f75a0c3_aes.bin"; }

    std::unique_ptr<BuiltWidgets> widgets;
    SelectFirmwareBox* box = nullptr;
    Glib::RefPtr<Gtk::Switch> modeSwitch;
    Glib::RefPtr<Gtk::Button> esp32Button, stm32Button, upload;
    Glib::RefPtr<Gtk::SearchEntry> esp32Entry, stm32Entry;
};

TEST_F(SelectFirmware, AfterStartOnlyTheStm32RowIsUsable) {
    EXPECT_TRUE(stm32Button->get_sensitive());
    EXPECT_TRUE(stm32Entry->get_sensitive());
    EXPECT_FALSE(esp32Button->get_sensitive());
    EXPECT_FALSE(esp32Entry->get_sensitive());
    EXPECT_TRUE(upload->get_sensitive());
    EXPECT_EQ(box->getFilePath(), "");
    EXPECT_EQ(stm32Entry->get_text(), ".");
    EXPECT_EQ(stm32Entry->get_tooltip_text(), "");
}

TEST_F(SelectFirmware, ChosenFileBelongsToItsRowAndBecomesThePathOfItsTarget) {
    choose("/images/esp/app.bin", SEARCH_FILE_ESP32);
    EXPECT_EQ(esp32Entry->get_text(), "app.bin");
    EXPECT_EQ(esp32Entry->get_tooltip_text(), "/images/esp/app.bin");
    EXPECT_EQ(box->getFilePath(), "") << "the STM32 is the target";

    selectEsp32();
    EXPECT_EQ(box->getFilePath(), "/images/esp/app.bin");
    EXPECT_TRUE(esp32Button->get_sensitive());
    EXPECT_FALSE(stm32Button->get_sensitive());

    choose("/images/stm/main.bin", SEARCH_FILE_STM32);
    EXPECT_EQ(box->getFilePath(), "/images/esp/app.bin");
    selectStm32();
    EXPECT_EQ(box->getFilePath(), "/images/stm/main.bin");

    // Any other key is not a file row.
    choose("/images/other.bin", SEARCH_DEVICES);
    EXPECT_EQ(box->getFilePath(), "/images/stm/main.bin");
    EXPECT_EQ(stm32Entry->get_text(), "main.bin");
}

TEST_F(SelectFirmware, TypedTextIsNeverTheUploadPath) {
    choose("/images/stm/main.bin", SEARCH_FILE_STM32);
    stm32Entry->set_text("/somewhere/else.bin");
    EXPECT_EQ(box->getFilePath(), "/images/stm/main.bin");
    selectStm32();
    EXPECT_EQ(stm32Entry->get_text(), "main.bin");
}

TEST_F(SelectFirmware, PreinstalledModeIgnoresChosenFilesAndKeepsTheUserPaths) {
    choose("/images/stm/main.bin", SEARCH_FILE_STM32);
    modeSwitch->set_active(true);
    EXPECT_EQ(box->getFilePath(), stm32Copy().u8string());
    choose("/images/stm/ignored.bin", SEARCH_FILE_STM32);
    EXPECT_EQ(box->getFilePath(), stm32Copy().u8string());
    for (auto* control :
         {static_cast<Gtk::Widget*>(esp32Button.get()), static_cast<Gtk::Widget*>(stm32Button.get()),
          static_cast<Gtk::Widget*>(esp32Entry.get()), static_cast<Gtk::Widget*>(stm32Entry.get())})
        EXPECT_FALSE(control->get_sensitive());
    EXPECT_TRUE(upload->get_sensitive());

    modeSwitch->set_active(false);
    EXPECT_EQ(box->getFilePath(), "/images/stm/main.bin");
    EXPECT_EQ(stm32Entry->get_text(), "main.bin");
    EXPECT_TRUE(stm32Button->get_sensitive());
    EXPECT_FALSE(esp32Button->get_sensitive());
}

TEST_F(SelectFirmware, FirstSwitchWritesBothCopiesIntoAPrivateFolder) {
    ASSERT_FALSE(fs::exists(copyFolder()));
    modeSwitch->set_active(true);
    EXPECT_EQ(readFile(esp32Copy()), esp32Image);
    EXPECT_EQ(readFile(stm32Copy()), stm32Image);
    EXPECT_EQ(esp32Entry->get_text(), "tavisk_firmware.bin");
    EXPECT_EQ(esp32Entry->get_tooltip_text(), esp32Copy().u8string());
    EXPECT_EQ(fs::status(copyFolder()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(copyFolder().parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    selectEsp32();
    EXPECT_EQ(box->getFilePath(), esp32Copy().u8string());

    // Once written, a copy is not looked at again during the run.
    const ino_t esp32Inode = inodeOf(esp32Copy());
    modeSwitch->set_active(false);
    modeSwitch->set_active(true);
    EXPECT_EQ(inodeOf(esp32Copy()), esp32Inode);
}

// What the first switch does with a file already in the copy's place.
struct ExistingCopyCase {
    const char* name;
    int contentKind; // 0: the image itself, 1: other bytes of the same size, 2: a shorter file
    bool keepsFile;
};

std::ostream& operator<<(std::ostream& out, const ExistingCopyCase& c) {
    return out << c.name;
}

class ExistingCopy : public SelectFirmware, public ::testing::WithParamInterface<ExistingCopyCase> {};

TEST_P(ExistingCopy, IsKeptOnlyWhenItHoldsTheImage) {
    const ExistingCopyCase& c = GetParam();
    std::string content = stm32Image;
    if (c.contentKind == 1)
        content.assign(stm32Image.size(), 'x');
    else if (c.contentKind == 2)
        content = stm32Image.substr(0, 10);
    writeFile(stm32Copy(), content);
    const ino_t before = inodeOf(stm32Copy());

    modeSwitch->set_active(true);
    EXPECT_EQ(box->getFilePath(), stm32Copy().u8string());
    EXPECT_EQ(readFile(stm32Copy()), stm32Image);
    EXPECT_EQ(inodeOf(stm32Copy()) == before, c.keepsFile);
    EXPECT_EQ(std::distance(fs::directory_iterator(copyFolder()), fs::directory_iterator()), 2)
        << "no partial file is left behind";
}

INSTANTIATE_TEST_SUITE_P(Contents, ExistingCopy,
                         ::testing::Values(ExistingCopyCase{"SameContent", 0, true},
                                           ExistingCopyCase{"OtherContentSameSize", 1, false},
                                           ExistingCopyCase{"OtherSize", 2, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SelectFirmware, FailedCopyGivesNoPathLeavesNoFileAndBlocksUploadForItsTarget) {
    // A folder in the copy's place cannot be replaced by the finished copy.
    fs::create_directories(stm32Copy() / "occupied");
    LogCapture log;
    modeSwitch->set_active(true);
    EXPECT_EQ(log.count("SelectFirmwareBox: Failed to write preinstalled firmware: ", BaseLogger::ERROR), 1u);
    EXPECT_EQ(box->getFilePath(), "");
    EXPECT_EQ(stm32Entry->get_text(), ".");
    EXPECT_FALSE(upload->get_sensitive());
    for (const auto& entry : fs::directory_iterator(copyFolder()))
        EXPECT_TRUE(entry.path() == esp32Copy() || entry.path() == stm32Copy()) << entry.path();

    selectEsp32();
    EXPECT_TRUE(upload->get_sensitive());
    EXPECT_EQ(box->getFilePath(), esp32Copy().u8string());

    // Each later look tries again.
    fs::remove_all(stm32Copy());
    selectStm32();
    EXPECT_EQ(box->getFilePath(), stm32Copy().u8string());
    EXPECT_TRUE(upload->get_sensitive());
}

// A copies' folder that cannot be used is reported once per cause, however often the mode is
// switched or the path asked for; once it can be used, the copies are written.
TEST_F(SelectFirmware, UnusableFolderIsReportedOncePerCause) {
    const fs::path elsewhere = copyFolder().parent_path() / "elsewhere";
    fs::create_directories(elsewhere);
    writeFile(copyFolder(), "a file where the folder belongs");
    LogCapture log;
    const auto refusals = [&] {
        std::vector<std::string> found;
        for (const auto& line : log.lines())
            if (line.text.find("Failed to write preinstalled firmware: ") != std::string::npos)
                found.push_back(line.text);
        return found;
    };
    const auto switchThreeTimes = [&] {
        for (int i = 0; i < 3; ++i) {
            modeSwitch->set_active(true);
            EXPECT_EQ(box->getFilePath(), "");
            modeSwitch->set_active(false);
        }
    };
    switchThreeTimes();
    fs::remove(copyFolder());
    fs::create_directory_symlink(elsewhere, copyFolder());
    switchThreeTimes();
    const std::string prefix = "SelectFirmwareBox: Failed to write preinstalled firmware: folder not used (";
    const std::vector<std::string> expected = {
        prefix + copyFolder().u8string() + ": a regular file, not a folder)",
        prefix + copyFolder().u8string() + ": a symbolic link)",
    };
    EXPECT_EQ(refusals(), expected);
    EXPECT_TRUE(fs::is_empty(elsewhere));

    fs::remove(copyFolder());
    modeSwitch->set_active(true);
    EXPECT_EQ(box->getFilePath(), stm32Copy().u8string());
    EXPECT_EQ(refusals().size(), 2u);
}

TEST_F(SelectFirmware, MissingResourceIsReportedAndGivesNoPath) {
    // Take the test images away from the registered bundles.
    GResource* images = nullptr;
    {
        GBytes* probe = g_resources_lookup_data("/taviskbeaconutility/firmware/tavisk_firmware.bin",
                                                G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
        ASSERT_NE(probe, nullptr);
        g_bytes_unref(probe);
        images = tavisk_test_firmware_get_resource();
        g_resources_unregister(images);
    }
    LogCapture log;
    modeSwitch->set_active(true);
    // Both copies are tried on the first switch, the ESP32 one first.
    std::vector<std::string> lookups;
    for (const auto& line : log.lines())
        if (line.type == BaseLogger::ERROR && line.text.find("Can't lookup resource ") != std::string::npos)
            lookups.push_back(line.text);
    const std::vector<std::string> expected = {
        "SelectFirmwareBox: Can't lookup resource /taviskbeaconutility/firmware/tavisk_firmware.bin",
        "SelectFirmwareBox: Can't lookup resource "
        "/taviskbeaconutility/firmware/Halvin_2.13.319.f75a0c3_aes.bin"};
    ASSERT_EQ(lookups.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(lookups[i].rfind(expected[i], 0), 0u) << lookups[i];
    EXPECT_EQ(box->getFilePath(), "");
    EXPECT_EQ(esp32Entry->get_text(), ".");
    EXPECT_FALSE(upload->get_sensitive());
    EXPECT_FALSE(fs::exists(stm32Copy()));
    g_resources_register(images);
    EXPECT_EQ(box->getFilePath(), stm32Copy().u8string());
}

struct SearchCase {
    const char* button;
    HandlersFuncKeys key;
    GlobalHandlerEvents::HandlerEventsStatus answer;
    const char* line;
    BaseLogger::MessageType type;
};

std::ostream& operator<<(std::ostream& out, const SearchCase& c) {
    return out << c.line;
}

class SearchButtons : public SelectFirmware, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(SearchButtons, FireTheirKeyAndLogTheAnswer) {
    const SearchCase& c = GetParam();
    FakeHandlers::instance().registerKeys({SEARCH_FILE_STM32, SEARCH_FILE_ESP32});
    FakeHandlers::instance().setResult(c.key, c.answer);
    LogCapture log;
    Glib::RefPtr<Gtk::Button>::cast_dynamic(widgets->builder->get_object(c.button))->clicked();
    EXPECT_EQ(FakeHandlers::instance().fired(), std::vector<HandlersFuncKeys>{c.key});
    EXPECT_EQ(log.count(std::string("SelectFirmwareBox: ") + c.line, c.type), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SearchButtons,
    ::testing::Values(SearchCase{"SelectFirmwareStm32Button", SEARCH_FILE_STM32, GlobalHandlerEvents::SUCCESS,
                                 "Open File for STM32 is success!", BaseLogger::INFO},
                      SearchCase{"SelectFirmwareStm32Button", SEARCH_FILE_STM32, GlobalHandlerEvents::FAILURE,
                                 "Error with Open File for STM32!", BaseLogger::ERROR},
                      SearchCase{"SelectFirmwareEsp32Button", SEARCH_FILE_ESP32, GlobalHandlerEvents::SUCCESS,
                                 "Open File for ESP32 is success!", BaseLogger::INFO},
                      SearchCase{"SelectFirmwareEsp32Button", SEARCH_FILE_ESP32, GlobalHandlerEvents::FAILURE,
                                 "Error with Open File for ESP32!", BaseLogger::ERROR}));

TEST_F(SelectFirmware, SearchHandlerCanHandTheChosenFileBack) {
    FakeHandlers::instance().registerKeys({SEARCH_FILE_STM32});
    FakeHandlers::instance().setAction(SEARCH_FILE_STM32,
                                       [&] { choose("/picked/stm.bin", SEARCH_FILE_STM32); });
    stm32Button->clicked();
    EXPECT_EQ(box->getFilePath(), "/picked/stm.bin");
}

} // namespace
