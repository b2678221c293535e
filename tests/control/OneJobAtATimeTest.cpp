// One job on the serial line at a time, through the real session, link, engine and workers and
// the simulated beacon (with its simulated ESP32 ROM loader) on a line paced at 115200 baud.
// While a job runs, every other request is refused by the session itself, with one WARNING
// that names both, nothing of it reaches the device, and the running job completes byte for
// byte; once it has ended, the line is free again.
#include "tests/control/UploadRig.h"
#include "tests/sim/beacon/SharedTestImage.h"
#include "tests/sim/rom/SampleEsp32Image.h"
#include "tests/sim/rom/SimRomPeer.h"
#include "tests/support/Eventually.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempFile.h"

#include <gtest/gtest.h>

#include <iostream>
#include <thread>

namespace tavisk::test {
namespace {

using namespace std::chrono_literals;
using sim::SimBeacon;
using Bytes = std::vector<std::uint8_t>;

constexpr unsigned kBaud = 115200;
constexpr auto kDeadline = 60s;

// What the running job is and how far it has come when the other requests are made.
enum class Running { ERASE_ACKNOWLEDGEMENT, STM32_TRANSFER, ESP32_FLASH, RECONNECT };

struct JobCase {
    const char* name;
    Running running;
    const char* jobName; // as the refusals name it
};

void PrintTo(const JobCase& c, std::ostream* os) {
    *os << c.name;
}

class OneJobAtATime : public ::testing::TestWithParam<JobCase> {
protected:
    OneJobAtATime() : rig(kBaud) {
        rom = std::make_shared<sim::SimRomPeer>();
        rig.beacon().setBootloaderPeer(rom);
    }

    void TearDown() override {
        if (HasFailure())
            log.printTail(std::cerr, 60);
    }

    // One request for another job, and what shows that it was refused.
    struct Request {
        const char* refused;       // the first words of its WARNING
        std::function<bool()> ask; // true: accepted
    };

    std::vector<Request> otherRequests() {
        BeaconSession& s = rig.session();
        return {
            {"Device search", [&s] { return s.searchDevices() == GlobalHandlerEvents::SUCCESS; }},
            {"Connect",
             [this, &s] { return s.connectPort(rig.line().path(), UsbTypes::BAUD_115200) == LINK_OK; }},
            {"Disconnect", [&s] { return s.disconnect() == LINK_OK; }},
            {"STM32 upload", [this, &s] { return s.startStm32Upload(stm32File.path()); }},
            {"ESP32 flash", [this, &s] { return s.startEsp32Flash(esp32File.path()); }},
            // Its refusal shows in its WARNING and in the field writes that the beacon counts.
            {"Device reboot",
             [&s] {
                 s.rebootDevice();
                 return false;
             }},
        };
    }

    // Makes every other request while the job runs; each must be refused, and nothing of it
    // may reach the device.
    void refuseTheOthers(const char* jobName) {
        const std::size_t searches = rig.beacon().requestCount(1);
        const std::size_t fieldWrites = rig.beacon().requestCount(3);
        const std::size_t opened = log.count("is opened!");
        const std::string jobRunning = std::string(" refused: ") + jobName + " is running";
        for (const Request& request : otherRequests()) {
            const std::string line = std::string("MainWindow: ") + request.refused + jobRunning;
            EXPECT_FALSE(request.ask()) << request.refused;
            EXPECT_EQ(log.countWhole(line, BaseLogger::WARNING), 1u) << line;
        }
        // A second ESP32 flash says so in the words people know, before its refusal.
        const bool secondFlash = std::string(jobName) == "an ESP32 flash";
        EXPECT_EQ(log.countWhole("MainWindow: ESP32 flashing already in progress", BaseLogger::WARNING),
                  secondFlash ? 1u : 0u);
        EXPECT_EQ(rig.beacon().requestCount(1), searches) << "a search went out";
        EXPECT_EQ(rig.beacon().requestCount(3), fieldWrites) << "a field write (erase or reboot) went out";
        // A reconnect closes and opens the port itself.
        if (GetParam().running != Running::RECONNECT) {
            EXPECT_EQ(log.count("is opened!"), opened) << "the port was opened again";
            EXPECT_TRUE(rig.link().isConnected());
        }
        asked = true;
    }

    ::testing::AssertionResult stm32UploadCompletes(Running running) {
        rig.setImage(stm32Image);
        if (running == Running::ERASE_ACKNOWLEDGEMENT)
            rig.beacon().addFault({SimBeacon::Fault::Late, 3, 0, 1500ms, 0});
        std::string error;
        if (!rig.connect(&error))
            return ::testing::AssertionFailure() << error;
        if (!rig.startUpload())
            return ::testing::AssertionFailure() << "the erase code was not written";
        if (running == Running::ERASE_ACKNOWLEDGEMENT) {
            // The erase write has reached the device, whose answer is late.
            if (!eventually([&] { return rig.beacon().requestCount(3) == 1; }, kDeadline))
                return ::testing::AssertionFailure() << "the erase write did not reach the device";
            refuseTheOthers(GetParam().jobName);
        }
        const BeaconSession::UploadTick end = rig.runUpload(kDeadline, [&] {
            if (!asked && rig.beacon().receivedImage().size() > 1024)
                refuseTheOthers(GetParam().jobName);
        });
        if (!end.ended || !end.succeeded)
            return ::testing::AssertionFailure() << "the upload did not succeed: " << end.failure;
        if (rig.beacon().receivedImage() != stm32Image || !rig.beacon().imageMatches())
            return ::testing::AssertionFailure()
                   << "the beacon holds " << rig.beacon().receivedImage().size() << " bytes, not the image";
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult esp32FlashCompletes() {
        std::string error;
        if (!rig.connect(&error))
            return ::testing::AssertionFailure() << error;
        EspFlashJob& job = rig.session().espFlash();
        if (!rig.session().startEsp32Flash(esp32File.path()))
            return ::testing::AssertionFailure() << "the flash did not start";
        eventually(
            [&] {
                if (!asked && job.percent() > 0)
                    refuseTheOthers(GetParam().jobName);
                return job.finished();
            },
            kDeadline);
        const auto result = job.takeCompletion();
        if (!result || !result->ok)
            return ::testing::AssertionFailure()
                   << "the flash failed: " << (result ? result->error : "it never ended");
        Bytes flash;
        rom->with([&](sim::SimRomLoader& m) {
            flash.assign(m.flash().begin(), m.flash().begin() + esp32Image.size());
        });
        if (flash != esp32Image)
            return ::testing::AssertionFailure() << "the flash does not hold the image";
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult reconnectCompletes() {
        std::string error;
        if (!rig.connect(&error) || !rig.discover())
            return ::testing::AssertionFailure() << "no device: " << error;
        // The field "reboot" is the last of the four that the field chain asks for.
        const bool described = eventually(
            [&] {
                std::lock_guard<std::recursive_mutex> lock(rig.engine().getMutex());
                App::Device* device = rig.engine().deviceHandler.getDevice(5);
                return device && device->getFieldByName("reboot");
            },
            kDeadline);
        if (!described)
            return ::testing::AssertionFailure() << "the field \"reboot\" was not described";
        const std::size_t searches = rig.beacon().requestCount(1);
        rig.session().rebootDevice();
        if (!rig.session().reconnectInProgress())
            return ::testing::AssertionFailure() << "no reconnect";
        // Field 3 of the default table is "reboot": its write has reached the device.
        if (!eventually([&] { return rig.beacon().fieldValue(3) == 1; }, kDeadline))
            return ::testing::AssertionFailure() << "the reboot write did not reach the device";
        refuseTheOthers(GetParam().jobName);
        if (!eventually([&] { return !rig.session().reconnectInProgress(); }, kDeadline) ||
            !rig.link().isConnected())
            return ::testing::AssertionFailure() << "the link did not come back";
        // The reconnect's own search, and no other.
        eventually([&] { return rig.beacon().requestCount(1) > searches; }, kDeadline);
        if (rig.beacon().requestCount(1) != searches + 1)
            return ::testing::AssertionFailure()
                   << rig.beacon().requestCount(1) - searches << " searches after the reboot";
        return ::testing::AssertionSuccess();
    }

    LogCapture log;
    const Bytes stm32Image = sim::sharedTestImage(16 * 1024);
    const Bytes esp32Image = sim::sampleEsp32Image(24 * 1024);
    // Before the rig: a flash that the rig's end waits for may still read them.
    const TempFile stm32File{sim::sharedTestImage(100), "stm32.bin"};
    const TempFile esp32File{sim::sampleEsp32Image(24 * 1024), "esp32.bin"};
    std::shared_ptr<sim::SimRomPeer> rom;
    UploadRig rig;
    bool asked = false;
};

TEST_P(OneJobAtATime, EveryOtherRequestIsRefusedAndTheRunningJobCompletes) {
    const JobCase& c = GetParam();
    switch (c.running) {
    case Running::ERASE_ACKNOWLEDGEMENT:
    case Running::STM32_TRANSFER:
        ASSERT_TRUE(stm32UploadCompletes(c.running));
        break;
    case Running::ESP32_FLASH:
        ASSERT_TRUE(esp32FlashCompletes());
        break;
    case Running::RECONNECT:
        ASSERT_TRUE(reconnectCompletes());
        break;
    }
    EXPECT_TRUE(asked) << "the job ended before the requests were made";
    EXPECT_EQ(rig.beacon().violations(), c.running == Running::RECONNECT
                                             ? std::vector<std::string>{"pack #1 after pack #6"}
                                             : std::vector<std::string>{});
    // Ended, the job has freed the line.
    EXPECT_EQ(rig.session().runningJob(), LineOwner::Job::NONE);
    if (c.running != Running::ESP32_FLASH) { // the ESP32 has left the payload protocol for its loader
        EXPECT_EQ(rig.session().searchDevices(), GlobalHandlerEvents::SUCCESS);
    }
}

INSTANTIATE_TEST_SUITE_P(
    , OneJobAtATime,
    ::testing::Values(JobCase{"while_the_erase_is_acknowledged", Running::ERASE_ACKNOWLEDGEMENT,
                              "an STM32 upload"},
                      JobCase{"during_the_stm32_transfer", Running::STM32_TRANSFER, "an STM32 upload"},
                      JobCase{"during_the_esp32_flash", Running::ESP32_FLASH, "an ESP32 flash"},
                      JobCase{"during_the_reconnect_after_a_reboot", Running::RECONNECT, "a reconnect"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavisk::test
