// The main window: how it opens, the connection through the dialog, the device search and
// its list, the file chooser, and the logging it sets up.
#include "tests/app/WindowOnLine.h"

#include "core/LoggerManager.h"
#include "tests/widgets/WidgetTestSupport.h"
#include "widgets/OpenFileDialog.h"
#include "widgets/SelectFirmwareBox.h"

#include <glibmm/main.h>
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace tavisk::test {
namespace {

using namespace std::chrono_literals;

class MainWindowTest : public WindowOnLine {};

TEST_F(MainWindowTest, OpensWithItsTitleAndSizeConnectsAndListsTheDevice) {
    start();
    EXPECT_EQ(std::string(window->get_title()), "TaviskBeaconUtility");
    int width = 0;
    int height = 0;
    window->get_default_size(width, height);
    EXPECT_EQ(width, 500);
    EXPECT_EQ(height, 550);
    // Built with the STM32 as the target.
    EXPECT_EQ(window->getWidgets().selectFirmwareBox->target(), FirmwareTarget::STM32);

    connectThroughDialog();
    searchUntilListed();
    EXPECT_TRUE(log.contains("MainWindow: Searching devices..."));
    // The device that answered became the current one and was asked for its fields.
    EXPECT_EQ(session().currentDeviceAddress(), 5u);
    EXPECT_TRUE(logged("field info response (device 5, field #3 reboot"));
}

TEST_F(MainWindowTest, SearchWithoutAConnectionEmptiesTheListAndTheModelAndStartsNothing) {
    start();
    // What an earlier search found, the link lost since.
    connectThroughDialog();
    searchUntilListed();
    ASSERT_TRUE(logged("field info response (device 5, field #3 reboot"));
    ASSERT_EQ(session().disconnect(), LINK_OK);
    log.clear();
    const std::size_t heard = beacon->transcript().size();
    widget<Gtk::Button>("SearchDeviceButton")->clicked();
    EXPECT_EQ(listedDevices(), std::vector<std::string>{});
    EXPECT_TRUE(session().deviceHandler->copyDeviceList().empty());
    EXPECT_EQ(log.count("Search devices requested, but there is no active COM/USB connection. Open the "
                        "Connection dialog and connect first.",
                        BaseLogger::ERROR),
              1u);
    EXPECT_EQ(
        log.countWhole("DeviceListBox: Device search request transmitted with error (no active connection?)",
                       BaseLogger::ERROR),
        1u);
    EXPECT_FALSE(log.contains("Thread is started"));
    pumpEvents();
    EXPECT_EQ(beacon->transcript().size(), heard);
}

TEST_F(MainWindowTest, TheFileChooserTakesAFileOnlyThroughOpen) {
    start();
    const std::string first = writeFile("first.bin", {1, 2, 3});
    const std::string second = writeFile("second.bin", {4, 5, 6});
    chooseStm32File(first, [](Gtk::Dialog& chooser) { chooser.response(Gtk::RESPONSE_OK); });
    ASSERT_EQ(window->getWidgets().selectFirmwareBox->getFilePath(), first);

    struct Case {
        const char* name;
        std::function<void(Gtk::Dialog&)> finish;
    };
    const Case cases[] = {
        {"Cancel", [](Gtk::Dialog& chooser) { chooser.response(Gtk::RESPONSE_CANCEL); }},
        {"closed", [](Gtk::Dialog& chooser) { chooser.close(); }},
    };
    for (const Case& c : cases) {
        log.clear();
        // The chooser shows the second file when it ends, but only Open takes it.
        chooseStm32File(second, c.finish);
        EXPECT_EQ(window->getWidgets().selectFirmwareBox->getFilePath(), first) << c.name;
        EXPECT_EQ(log.count("File not found or path is not set!", BaseLogger::WARNING), 1u) << c.name;
    }
}

// The chooser runs a loop of its own, which would hold the program after a signal to end until
// someone answered it: the signal answers it as cancelled, and a later click opens none.
TEST_F(MainWindowTest, ASignalToEndAnswersTheFileChooserAndNoneOpensAfterIt) {
    start();
    const std::string file = writeFile("chosen.bin", {1, 2, 3});
    const std::string before = window->getWidgets().selectFirmwareBox->getFilePath();
    Gtk::FileChooserDialog& chooser = *window->getWidgets().openFileDialog;
    // A chooser the signal left open is closed after a while, so that the test ends.
    bool leftOpen = false;
    sigc::connection guard;
    chooseStm32File(file, [&](Gtk::Dialog&) {
        ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
        guard = Glib::signal_timeout().connect_seconds(
            [&] {
                leftOpen = true;
                chooser.response(Gtk::RESPONSE_DELETE_EVENT);
                return false;
            },
            10);
    });
    guard.disconnect();
    EXPECT_FALSE(leftOpen) << "the chooser was still open 10 s after the signal";
    EXPECT_EQ(window->getWidgets().selectFirmwareBox->getFilePath(), before);
    EXPECT_EQ(log.count("Ended by signal SIGTERM while nothing was running", BaseLogger::WARNING), 1u);

    bool opened = false;
    sigc::connection shown = chooser.signal_show().connect([&] {
        opened = true;
        Glib::signal_idle().connect_once([&] { chooser.response(Gtk::RESPONSE_DELETE_EVENT); });
    });
    widget<Gtk::Button>("SelectFirmwareStm32Button")->clicked();
    shown.disconnect();
    EXPECT_FALSE(opened) << "a chooser was run after the signal";
    EXPECT_TRUE(log.contains("The file chooser is not opened: the program is ending"));
}

TEST_F(MainWindowTest, TheLogLevelVariable) {
    struct Case {
        const char* value;
        bool loggers;
        LoggerManager::Level level;
    };
    const Case cases[] = {
        {"important", true, LoggerManager::IMPORTANT},
        {" full", true, LoggerManager::FULL},
        {"MINIMUM", true, LoggerManager::MINIMUM},
        {"off", false, LoggerManager::FULL},
    };
    LoggerManager& manager = LoggerManager::getInstance();
    Glib::RefPtr<Gtk::Application> noApplication;
    for (const Case& c : cases) {
        setenv("TAVISK_LOG_LEVEL", c.value, 1);
        manager.clearAllLoggers();
        std::unique_ptr<MainWindow> built(MainWindow::getInstance("TaviskBeaconUtility", noApplication));
        EXPECT_EQ(manager.checkLoggerExists(LoggerManager::FILE), c.loggers) << c.value;
        EXPECT_EQ(manager.checkLoggerExists(LoggerManager::CONSOLE), c.loggers) << c.value;
        if (c.loggers) {
            EXPECT_EQ(manager.getGlobalLevel(), c.level) << c.value;
        }
    }
    unsetenv("TAVISK_LOG_LEVEL");
    manager.setActiveLoggers({LoggerManager::CONSOLE});
    manager.setGlobalLevel(LoggerManager::FULL);
}

} // namespace
} // namespace tavisk::test
