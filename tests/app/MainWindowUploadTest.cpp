// Uploads through the main window: the STM32 road from the Upload button to the device's
// confirmation of the whole image, the check of the image before anything is erased, and the
// ESP32 flash through the simulated ROM loader.
#include "tests/app/WindowOnLine.h"

#include "control/ProgressText.h"
#include "tests/sim/beacon/SharedTestImage.h"
#include "tests/sim/rom/SampleEsp32Image.h"
#include "tests/support/Eventually.h"
#include "tests/widgets/WidgetTestSupport.h"
#include "widgets/SelectFirmwareBox.h"

#include <giomm/resource.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>
#include <gtkmm/imagemenuitem.h>
#include <gtkmm/label.h>
#include <gtkmm/levelbar.h>
#include <gtkmm/statusbar.h>
#include <gtkmm/switch.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

namespace tavisk::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class MainWindowUploadTest : public WindowOnLine {
protected:
    // Runs until the label shows the success text; true when it does. Every text the label
    // took meanwhile is checked against the beacon at that moment: the success text may only
    // appear once the beacon has accepted the whole image.
    bool runUntilSuccessShown() {
        bool early = false;
        sigc::connection watch =
            window->getWidgets().loadStatusLabel->property_label().signal_changed().connect([&] {
                if (progressText() == ProgressText::kSuccess && !beacon->imageComplete())
                    early = true;
            });
        const bool shown = runUntil([&] { return progressText() == ProgressText::kSuccess; }, 120s);
        watch.disconnect();
        EXPECT_FALSE(early) << "success shown before the device confirmed the image";
        return shown;
    }

    void expectStm32Image(const Bytes& image) {
        EXPECT_TRUE(beacon->imageMatches());
        EXPECT_EQ(beacon->receivedImage(), image);
        EXPECT_EQ(beacon->violations(), std::vector<std::string>{});
        EXPECT_EQ(window->getWidgets().loadStatusBar->get_value(), 100);
    }

    void chooseEsp32Target() { widget<Gtk::ComboBoxText>("FirmwareMethodComboBoxText")->set_active(1); }

    void setFile(HandlersFuncKeys key, std::string path) {
        window->getWidgets().selectFirmwareBox->setFilePath(path, key);
    }

    // The line on the status bar, empty when there is none.
    std::string statusText() {
        auto* area = dynamic_cast<Gtk::Container*>(window->getWidgets().appStatusbar->get_message_area());
        for (Gtk::Widget* child : area->get_children())
            if (auto* label = dynamic_cast<Gtk::Label*>(child))
                return label->get_text();
        return {};
    }

    // Whether each control that would start another job can be used.
    std::vector<bool> jobControlsSensitive() {
        std::vector<bool> sensitive;
        for (const char* id : {"UploadButton", "FirmwareMethodComboBoxText", "FirmwareSourceModeSwitch",
                               "SelectFirmwareStm32Button", "SearchDeviceButton", "ConnectImageMenuItem",
                               "DisconnectImageMenuItem"})
            sensitive.push_back(widget<Gtk::Widget>(id)->is_sensitive());
        return sensitive;
    }

    Bytes romFlash(std::size_t size) {
        Bytes flash;
        rom->with([&](sim::SimRomLoader& m) { flash.assign(m.flash().begin(), m.flash().begin() + size); });
        return flash;
    }
};

TEST_F(MainWindowUploadTest, Stm32UploadOfAChosenFile) {
    start();
    const Bytes image = sim::sharedTestImage(4096);
    beacon->setExpectedImage(image);
    const std::string path = writeFile("stm32.bin", image);
    connectThroughDialog();
    chooseStm32File(path, [](Gtk::Dialog& chooser) { chooser.response(Gtk::RESPONSE_OK); });
    clickUpload();
    EXPECT_EQ(progressText(), "0%");
    ASSERT_TRUE(runUntilSuccessShown());
    expectStm32Image(image);
    EXPECT_TRUE(log.contains("MainWindow: Start upload"));
    EXPECT_TRUE(log.contains("Firmware transfer complete: 4096 bytes"));

    // Closing the window ends the workers that the upload started.
    log.clear();
    window.reset();
    EXPECT_TRUE(log.contains("SerialListener: Thread is terminated"));
    EXPECT_TRUE(log.contains("SerialSender: Thread is terminated"));
}

TEST_F(MainWindowUploadTest, WhileAnStm32UploadRunsNothingCanStartAnotherJobAndAFailureSaysWhy) {
    start(115200); // a paced line: the upload takes a few seconds
    const Bytes image = sim::sharedTestImage(8 * 1024);
    beacon->setExpectedImage(image);
    connectThroughDialog();
    setFile(SEARCH_FILE_STM32, writeFile("stm32.bin", image));
    const std::vector<bool> allSensitive(7, true), noneSensitive(7, false);
    ASSERT_EQ(jobControlsSensitive(), allSensitive);

    clickUpload();
    EXPECT_EQ(jobControlsSensitive(), noneSensitive);
    EXPECT_TRUE(widget<Gtk::Widget>("QuitImageMenuItem")->is_sensitive());
    bool sensitiveEarly = false;
    ASSERT_TRUE(runUntil(
        [&] {
            if (progressText() != ProgressText::kSuccess && jobControlsSensitive() != noneSensitive)
                sensitiveEarly = true;
            return jobControlsSensitive() == allSensitive;
        },
        120s));
    EXPECT_FALSE(sensitiveEarly) << "a control became sensitive before the upload ended";
    EXPECT_EQ(progressText(), ProgressText::kSuccess);
    expectStm32Image(image);
    EXPECT_EQ(statusText(), "");

    // The 11th file-write request (the 10th chunk, at offset 288) is answered with error 3.
    beacon->addFault({sim::SimBeacon::Fault::ErrorStatus, 8, 10, 0ms, 3});
    clickUpload();
    EXPECT_EQ(jobControlsSensitive(), noneSensitive);
    ASSERT_TRUE(runUntil([&] { return jobControlsSensitive() == allSensitive; }, 120s));
    const std::string failure =
        "STM32 upload failed: the device refused the write file request at offset 288 (error code 3)";
    EXPECT_EQ(statusText(), failure);
    EXPECT_EQ(log.count("MainWindow: " + failure, BaseLogger::ERROR), 1u);
    EXPECT_EQ(progressText(), "3%") << "the label keeps the percentage where the upload stopped";

    // The next upload clears the line and succeeds.
    clickUpload();
    EXPECT_EQ(statusText(), "");
    ASSERT_TRUE(runUntilSuccessShown());

    // An Upload refused after that success starts the display afresh: its line shows alone,
    // not beside the last upload's success text.
    ASSERT_TRUE(runUntil([&] { return jobControlsSensitive() == allSensitive; }, 10s));
    const std::string gone = writeFile("gone.bin", image);
    setFile(SEARCH_FILE_STM32, gone);
    std::filesystem::remove(gone);
    clickUpload();
    EXPECT_EQ(progressText(), "0%");
    EXPECT_EQ(window->getWidgets().loadStatusBar->get_value(), 0);
    EXPECT_EQ(statusText(), "STM32 image refused: " + gone + ": the file does not exist");
    EXPECT_EQ(jobControlsSensitive(), allSensitive);
}

// However the program ends during an upload, one line names what is abandoned, in the words
// that are true of where the upload stands; once the device has confirmed the whole image,
// nothing is abandoned, also before the window has shown the success.
TEST_F(MainWindowUploadTest, EndingDuringAnStm32UploadSaysWhatIsAbandoned) {
    struct Ending {
        const char* name;
        std::function<void()> end;
        const char* cause;
        bool saysWhenIdle; // a signal's end is logged also when nothing runs
    };
    const Ending endings[] = {
        {"Quit from the menu", [&] { widget<Gtk::ImageMenuItem>("QuitImageMenuItem")->activate(); }, "Quit",
         false},
        {"the window closed", [&] { window.reset(); }, "The window was closed", false},
        {"SIGTERM",
         [&] {
             std::raise(SIGTERM);
             EXPECT_TRUE(logged("MainWindow: Ended by signal SIGTERM", 10s));
         },
         "Ended by signal SIGTERM", true},
    };
    enum class At { ERASE_WAIT, TRANSFER, CONFIRMATION };
    struct Stage {
        const char* name;
        At at;
        const char* said; // what follows "<cause> during "; null: nothing is abandoned
    };
    const Stage stages[] = {
        {"in the erase wait", At::ERASE_WAIT,
         "an STM32 upload before the erase was written: the upload is abandoned and nothing was changed on "
         "the device"},
        {"in the transfer", At::TRANSFER, "an STM32 upload at "},
        {"at the confirmation", At::CONFIRMATION, nullptr},
    };
    for (const Ending& ending : endings) {
        for (const Stage& stage : stages) {
            const std::string name = std::string(ending.name) + " " + stage.name;
            start(115200);
            const Bytes image = sim::sharedTestImage(16 * 1024);
            beacon->setExpectedImage(image);
            connectThroughDialog();
            setFile(SEARCH_FILE_STM32, writeFile("stm32.bin", image));
            clickUpload();
            // Else ended at once, before the first tick of the erase wait.
            if (stage.at != At::ERASE_WAIT) {
                ASSERT_TRUE(runUntil([&] { return beacon->receivedImage().size() >= 1024; }, 60s)) << name;
            }
            if (stage.at == At::CONFIRMATION) {
                // The device and the engine finish the transfer on their own threads; the main
                // loop does not run meanwhile, so the window has not yet heard of the end.
                ASSERT_TRUE(
                    eventually([&] { return session().payloadHandler->completedTransfers() > 0; }, 60s))
                    << name;
                EXPECT_NE(progressText(), ProgressText::kSuccess) << name;
            }
            log.clear();
            ending.end();
            if (stage.said) {
                const std::string said = std::string("MainWindow: ") + ending.cause + " during " + stage.said;
                if (stage.at == At::TRANSFER) {
                    EXPECT_EQ(log.count(said, BaseLogger::WARNING), 1u) << name;
                    EXPECT_TRUE(log.contains(
                        " %: the upload is abandoned and the device is left without its whole image"))
                        << name;
                } else {
                    EXPECT_EQ(log.countWhole(said, BaseLogger::WARNING), 1u) << name;
                }
            } else {
                // Ended as confirmed, and the line free for the next job at once.
                EXPECT_EQ(log.countWhole("MainWindow: STM32 upload completed", BaseLogger::INFO), 1u) << name;
                if (window) {
                    EXPECT_EQ(session().runningJob(), LineOwner::Job::NONE) << name;
                }
                EXPECT_EQ(
                    log.countWhole(std::string("MainWindow: ") + ending.cause + " while nothing was running",
                                   BaseLogger::WARNING),
                    ending.saysWhenIdle ? 1u : 0u)
                    << name;
                EXPECT_TRUE(beacon->imageMatches()) << name;
            }
            window.reset();
            EXPECT_EQ(log.count(std::string(" during an STM32 upload ")), stage.said ? 1u : 0u)
                << name << ": the end is said once, and only of what is abandoned";
            EXPECT_EQ(beacon->requestCount(3) > 0, stage.at != At::ERASE_WAIT)
                << name << ": what was sent to the device";
            line.reset();
            beacon = std::make_shared<sim::SimBeacon>();
        }
    }
}

TEST_F(MainWindowUploadTest, Stm32UploadOfThePreinstalledImage) {
    start();
    const auto bytes =
        Gio::Resource::lookup_data_global("/taviskbeaconutility/firmware/Halvin_2.13.319.f75a0c3_aes.bin");
    gsize size = 0;
    const auto* data = static_cast<const std::uint8_t*>(bytes->get_data(size));
    const Bytes image(data, data + size);
    beacon->setExpectedImage(image);
    connectThroughDialog();
    widget<Gtk::Switch>("FirmwareSourceModeSwitch")->set_active(true);
    clickUpload();
    ASSERT_TRUE(runUntilSuccessShown());
    expectStm32Image(image);
}

TEST_F(MainWindowUploadTest, AnUploadWithoutAnImageErasesNothing) {
    start();
    connectThroughDialog();
    struct Case {
        const char* name;
        std::string path;
        LogLine first;       // the refusal's first line, logged whole; empty: the refusal alone
        std::string refused; // the refusal, which the status bar shows
    };
    const std::string missing = writeFile("gone.bin", {1}) + ".missing";
    const std::string empty = writeFile("empty.bin", {});
    const Case cases[] = {
        {"no file chosen",
         "",
         {BaseLogger::WARNING, "MainWindow: File path is empty or did't exist"},
         "STM32 image refused: no file is chosen"},
        {"a missing file",
         missing,
         {BaseLogger::ERROR, "PayloadHandler: Can't open file."},
         "STM32 image refused: " + missing + ": the file does not exist"},
        {"an empty file",
         empty,
         {BaseLogger::INFO, ""},
         "STM32 image refused: " + empty + ": the file is empty"},
    };
    for (const Case& c : cases) {
        log.clear();
        setFile(SEARCH_FILE_STM32, c.path);
        clickUpload();
        if (!c.first.text.empty()) {
            EXPECT_EQ(log.countWhole(c.first.text, c.first.type), 1u) << c.name;
        }
        EXPECT_EQ(log.count("File path is empty or did't exist"), c.path.empty() ? 1u : 0u) << c.name;
        EXPECT_EQ(log.countWhole("MainWindow: " + c.refused, BaseLogger::WARNING), 1u) << c.name;
        EXPECT_EQ(statusText(), c.refused) << c.name;
        EXPECT_FALSE(log.contains("Erase firmware")) << c.name;
        // No erase wait was armed, so nothing can be erased later either.
        EXPECT_FALSE(session().stm32Upload().eraseWait().isActive()) << c.name;
    }
    runUntil([] { return false; },
             3 * Stm32UploadJob::kTickInterval); // three ticks of a wait, had one been armed
    EXPECT_EQ(beacon->requestCount(1), 0u);
    EXPECT_EQ(beacon->requestCount(3), 0u);
    EXPECT_FALSE(beacon->eraseArmed());
}

TEST_F(MainWindowUploadTest, AChangeOfTargetOrFileDuringTheEraseWaitSendsTheRecordedImage) {
    start();
    const Bytes image = sim::sharedTestImage(2048);
    beacon->setExpectedImage(image);
    connectThroughDialog();
    setFile(SEARCH_FILE_STM32, writeFile("recorded.bin", image));
    clickUpload();
    // Before the first tick of the erase wait.
    setFile(SEARCH_FILE_STM32, writeFile("other.bin", sim::sharedTestImage(100)));
    chooseEsp32Target();
    ASSERT_TRUE(runUntilSuccessShown());
    expectStm32Image(image);
}

TEST_F(MainWindowUploadTest, Esp32FlashKeepsTheWindowInsensitiveUntilItEnds) {
    start();
    connectThroughDialog();
    searchUntilListed(); // the listener and the sender run: the flash must stop them
    const Bytes image = sim::sampleEsp32Image(10 * 1024 + 300);
    chooseEsp32Target();
    setFile(SEARCH_FILE_ESP32, writeFile("esp32.bin", image));
    clickUpload();
    EXPECT_FALSE(window->get_sensitive());
    bool sensitiveWhileRunning = false;
    ASSERT_TRUE(runUntil(
        [&] {
            if (log.contains("ESP32 flashing"))
                return true;
            sensitiveWhileRunning = sensitiveWhileRunning || window->get_sensitive();
            return false;
        },
        120s));
    EXPECT_FALSE(sensitiveWhileRunning);
    ASSERT_TRUE(log.contains("MainWindow: ESP32 flashing completed")) << "failed instead";
    EXPECT_TRUE(window->get_sensitive());
    EXPECT_EQ(progressText(), ProgressText::kSuccess);
    EXPECT_EQ(window->getWidgets().loadStatusBar->get_value(), 100);
    EXPECT_EQ(romFlash(image.size()), image);
    EXPECT_TRUE(log.contains("SerialListener: Thread is terminated"));
    EXPECT_TRUE(log.contains("SerialSender: Thread is terminated"));
    EXPECT_TRUE(session().isConnected());
}

TEST_F(MainWindowUploadTest, AFailedEsp32FlashMakesTheWindowSensitiveAgain) {
    start();
    // The ROM loader refuses every data block.
    rom = std::make_shared<sim::SimRomPeer>();
    rom->with([](sim::SimRomLoader& m) {
        m.faults().errorOpcode = 0x03;
        m.faults().errors = 100;
    });
    beacon->setBootloaderPeer(rom);
    connectThroughDialog();
    chooseEsp32Target();
    setFile(SEARCH_FILE_ESP32, writeFile("esp32.bin", sim::sampleEsp32Image(4096)));
    clickUpload();
    EXPECT_FALSE(window->get_sensitive());
    ASSERT_TRUE(logged("MainWindow: ESP32 flashing failed: ", 120s));
    EXPECT_EQ(log.count("ESP32 flashing failed: ", BaseLogger::ERROR), 1u);
    EXPECT_TRUE(window->get_sensitive());
    EXPECT_NE(progressText(), ProgressText::kSuccess);
    EXPECT_FALSE(log.contains("ESP32 flashing completed"));
}

TEST_F(MainWindowUploadTest, ClosingTheWindowWaitsForARunningFlash) {
    start(115200); // a paced line: the flash takes a few seconds
    connectThroughDialog();
    const Bytes image = sim::sampleEsp32Image(24 * 1024);
    chooseEsp32Target();
    setFile(SEARCH_FILE_ESP32, writeFile("esp32.bin", image));
    clickUpload();
    ASSERT_TRUE(runUntil([&] { return session().espFlash().percent() > 0; }, 60s));
    window.reset();
    EXPECT_EQ(log.count("MainWindow: Waiting for the running ESP32 flash to end", BaseLogger::INFO), 1u);
    // The flash ended whole before the window went.
    EXPECT_EQ(romFlash(image.size()), image);
}

} // namespace
} // namespace tavisk::test
