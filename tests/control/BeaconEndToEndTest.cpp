#include "tests/control/ProgressWait.h"
#include "tests/control/UploadRig.h"
#include "tests/sim/beacon/SharedTestImage.h"
#include "tests/support/Eventually.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <iostream>
#include <thread>

namespace tavisk::test {
namespace {

using namespace std::chrono_literals;
using sim::SimBeacon;
using Fault = SimBeacon::Fault;

// Every wait of these tests has a deadline of its own and, when it fails, says what did not
// arrive: a broken build fails within seconds, never by the test's timeout.
class EndToEnd : public ::testing::Test {
protected:
    ::testing::AssertionResult connect(UploadRig& r) {
        std::string error;
        if (r.connect(&error))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the link did not connect to the beacon's line: " << error;
    }
    // The search and the field chain, as the main window waits for them.
    static ::testing::AssertionResult discovered(UploadRig& r) {
        if (r.discover(kDeadline))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no device with a field \"erase\" in the model within "
                                             << kDeadline.count() << " s (" << beaconState(r.beacon()) << ")";
    }
    // The Upload button: search, field chain and erase wait (itself bounded: 51 ticks of
    // 200 ms), the erase write, and the transfer that its acknowledgement starts.
    ::testing::AssertionResult startUpload(UploadRig& r, const std::vector<std::uint8_t>& image) {
        r.setImage(image);
        ::testing::AssertionResult result = connect(r);
        if (result && !r.startUpload())
            result = ::testing::AssertionFailure() << "the erase wait ended without writing the erase code ("
                                                   << beaconState(r.beacon()) << ")";
        return result;
    }
    // The engine's line that ends a transfer of `size` bytes; fails once the beacon has
    // received no new image byte for 10 s.
    ::testing::AssertionResult transferCompletes(UploadRig& r, std::size_t size) {
        const std::string line = "Firmware transfer complete: " + std::to_string(size) + " bytes";
        ::testing::AssertionResult result = waitWithProgress(
            "the line \"" + line + "\"", [&] { return log.contains(line); },
            [&] {
                return "the beacon holds " + std::to_string(r.beacon().receivedImage().size()) + " of " +
                       std::to_string(size) + " bytes";
            });
        if (!result)
            result << "; " << beaconState(r.beacon());
        return result;
    }
    // A line of the system's log, within the deadline.
    ::testing::AssertionResult logged(const std::string& fragment) {
        if (log.waitForText(fragment, 1, kDeadline))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "no log line with \"" << fragment << "\" within " << kDeadline.count() << " s";
    }
    // On a failure, show the last lines the system logged: the capture hides them otherwise.
    void TearDown() override {
        if (!HasFailure())
            return;
        log.printTail(std::cerr, 60);
    }
    // Waits until `pred` holds, for at most the deadline; the failure names what did not happen.
    template <typename Pred>
    static ::testing::AssertionResult eventually(const std::string& what, Pred pred) {
        if (tavisk::test::eventually(pred, kDeadline))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << what << " did not happen within " << kDeadline.count() << " s";
    }
    // Waits until the beacon's transcript holds a line with the fragment.
    static ::testing::AssertionResult beaconSaw(SimBeacon& beacon, const std::string& fragment) {
        ::testing::AssertionResult result = eventually("the beacon's line \"" + fragment + "\"", [&] {
            for (const auto& line : beacon.transcript())
                if (line.find(fragment) != std::string::npos)
                    return true;
            return false;
        });
        if (!result)
            result << " (" << beaconState(beacon) << ")";
        return result;
    }
    // What the beacon has seen: requests by command, its last line and its complaints.
    static std::string beaconState(SimBeacon& beacon) {
        const auto transcript = beacon.transcript();
        std::string state = "the beacon saw " + std::to_string(beacon.requestCount(1)) + " searches, " +
                            std::to_string(beacon.requestCount(5)) + " field requests, " +
                            std::to_string(beacon.requestCount(3)) + " field writes, " +
                            std::to_string(beacon.requestCount(8)) + " file writes; last: \"" +
                            (transcript.empty() ? std::string() : transcript.back()) + "\"";
        for (const std::string& violation : beacon.violations())
            state += "; violation: " + violation;
        return state;
    }

    static constexpr std::chrono::seconds kDeadline{20};
    LogCapture log;
};

TEST_F(EndToEnd, SearchAndTheFieldChainFillTheDeviceModel) {
    sim::BeaconConfig config;
    config.fields = sim::beaconFields(2);
    UploadRig rig(0, config);
    ASSERT_TRUE(connect(rig));
    ASSERT_TRUE(discovered(rig));
    auto& model = rig.engine().deviceHandler;
    ASSERT_TRUE(eventually("four fields of device 5 in the model", [&] {
        std::lock_guard<std::recursive_mutex> lock(rig.engine().getMutex());
        App::Device* d = model.getDevice(5);
        return d && d->getFieldCount() == 4;
    }));
    std::lock_guard<std::recursive_mutex> lock(rig.engine().getMutex());
    App::Device* device = model.getDevice(5);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->getDeviceName(), "beacon");
    EXPECT_EQ(device->getInfo()->versionMajor, 2);
    EXPECT_EQ(device->getInfo()->versionMinor, 13);
    const std::vector<std::string> names = {"serial", "channel", "erase", "reboot"};
    ASSERT_EQ(device->getFieldCount(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(std::string(device->getField(static_cast<std::uint8_t>(i))->getName()), names[i]);
    EXPECT_EQ(device->getFieldIndexByName("erase"), 2u);
    EXPECT_TRUE(rig.beacon().violations().empty());
}

TEST_F(EndToEnd, UploadOfEveryByteValueIsConfirmedByteForByte) {
    // 16 KiB: 512 chunks of 32 bytes, so the pack number wraps twice.
    const auto image = sim::sharedTestImage(16 * 1024);
    UploadRig rig;
    ASSERT_TRUE(startUpload(rig, image));
    ASSERT_TRUE(transferCompletes(rig, image.size()));
    EXPECT_TRUE(rig.waitForTransferEnd(kDeadline));
    EXPECT_EQ(rig.loadFirmwareCount(), 1);
    EXPECT_TRUE(rig.beacon().imageMatches());
    EXPECT_EQ(rig.beacon().receivedImage(), image);
    EXPECT_EQ(rig.beacon().violations(), std::vector<std::string>{});
    EXPECT_EQ(rig.beacon().requestCount(8), 1u + 512u + 1u);
    EXPECT_EQ(rig.engine().transferPercent.load(), 100);
    // One announcement per request (1 + 512 + 1) and one at the end, which follows the line.
    EXPECT_TRUE(eventually("the 515th status update", [&] { return rig.statusUpdateCount() == 515; }))
        << rig.statusUpdateCount();
    EXPECT_FALSE(log.contains("received message with wrong CRC"));
}

TEST_F(EndToEnd, TheEraseWriteWaitsWithTheLongReplyTimeout) {
    UploadRig rig;
    rig.beacon().addFault({Fault::Drop, 3});
    ASSERT_TRUE(startUpload(rig, sim::sharedTestImage(64)));
    ASSERT_TRUE(eventually("the listener's 20000 ms timeout",
                           [&] { return rig.listener().currentTimeout() == 20000; }));
    ASSERT_TRUE(beaconSaw(rig.beacon(), "fault: drop on the answer to set field"));
    EXPECT_EQ(rig.loadFirmwareCount(), 0);
    EXPECT_FALSE(rig.beacon().imageComplete());
}

TEST_F(EndToEnd, ASecondDeviceAnsweringTheSearchIsIgnored) {
    UploadRig rig;
    sim::BeaconConfig other;
    other.address = 6;
    other.name = "other";
    rig.addDevice(std::make_shared<SimBeacon>(other));
    ASSERT_TRUE(connect(rig));
    ASSERT_TRUE(discovered(rig));
    ASSERT_TRUE(logged("received unexpected message (device 6, message 0, pack #1)"));
    std::lock_guard<std::recursive_mutex> lock(rig.engine().getMutex());
    EXPECT_EQ(rig.engine().deviceHandler.getDeviceList()->size(), 1u);
    EXPECT_NE(rig.engine().deviceHandler.getDevice(5), nullptr);
}

// One fault on the answer to the 11th file-write request (the erase is the first), or to the
// erase write, and what the system must then do.
struct FaultCase {
    const char* name;
    SimBeacon::FaultPlan plan;
    bool completes;
    std::vector<std::string> logged; // by the system, in this order
    // When it does not complete: the ERROR line the upload ends with, and for an answer that
    // never comes the reply time of its request: the upload waits that long and the grace,
    // on its clock, then ends.
    std::string ending = {};
    std::chrono::milliseconds overdueAfter = std::chrono::milliseconds(0);
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class FaultTable : public EndToEnd, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTable, TheTransferCompletesOrStallsWithoutAFalseSuccess) {
    const FaultCase& c = GetParam();
    const auto image = sim::sharedTestImage(2048);
    UploadRig rig;
    rig.beacon().addFault(c.plan);
    ASSERT_TRUE(startUpload(rig, image));
    ASSERT_TRUE(beaconSaw(rig.beacon(), "fault: "));
    for (std::size_t i = 0; i < c.logged.size(); ++i)
        ASSERT_TRUE(logged(c.logged[i]));
    if (c.completes) {
        ASSERT_TRUE(transferCompletes(rig, image.size()));
        EXPECT_TRUE(rig.beacon().imageMatches());
        EXPECT_EQ(rig.engine().transferPercent.load(), 100);
        const BeaconSession::UploadTick end = rig.runUpload(kDeadline);
        EXPECT_TRUE(end.ended && end.succeeded) << end.failure;
    } else {
        BeaconSession::UploadTick end;
        if (c.overdueAfter.count() > 0) {
            // The answer is gone for good. Up to its reply time and the grace the upload waits
            // for it; a moment later it ends. Timed on the upload's clock, in no real time.
            ASSERT_TRUE(rig.tick().keepTicking) << "the upload ended before its answer was overdue";
            rig.clock().advance(c.overdueAfter + Stm32UploadJob::kAnswerGrace);
            ASSERT_TRUE(rig.tick().keepTicking) << "the upload ended within the reply time and the grace";
            rig.clock().advance(std::chrono::milliseconds(1));
            end = rig.tick();
        } else {
            end = rig.runUpload(kDeadline);
        }
        EXPECT_TRUE(end.ended);
        EXPECT_FALSE(end.succeeded);
        EXPECT_EQ(end.failure, c.ending);
        EXPECT_EQ(log.countWhole("MainWindow: " + c.ending, BaseLogger::ERROR), 1u) << c.ending;
        EXPECT_EQ(rig.session().runningJob(), LineOwner::Job::NONE) << "the line was not freed";
        EXPECT_FALSE(rig.beacon().imageComplete());
        EXPECT_FALSE(log.contains("Firmware transfer complete"));
        EXPECT_LT(rig.engine().transferPercent.load(), 100);
    }
    EXPECT_EQ(rig.beacon().violations(), std::vector<std::string>{});
}

const std::string kTimeout = "Listener timeout waiting for response";
SimBeacon::FaultPlan onChunk(Fault fault, std::chrono::milliseconds delay = 0ms) {
    return {fault, 8, 10, delay, 3};
}
// The 11th file-write request is the chunk at offset 288: 10 chunks of 32 bytes went before.
const std::string kChunkUnanswered =
    "STM32 upload failed: no answer to the write file request at offset 288 within 500 ms";
constexpr std::chrono::milliseconds kChunkReply{500};

INSTANTIATE_TEST_SUITE_P(
    , FaultTable,
    ::testing::Values(
        FaultCase{"bad_crc",
                  onChunk(Fault::BadCrc),
                  false,
                  {"received message with wrong CRC", kTimeout},
                  kChunkUnanswered,
                  kChunkReply},
        FaultCase{"wrong_pack",
                  onChunk(Fault::WrongPack),
                  false,
                  {"received unexpected message", kTimeout},
                  kChunkUnanswered,
                  kChunkReply},
        FaultCase{"stale_pack",
                  onChunk(Fault::StalePack),
                  false,
                  {"received unexpected message", kTimeout},
                  kChunkUnanswered,
                  kChunkReply},
        FaultCase{"dropped", onChunk(Fault::Drop), false, {kTimeout}, kChunkUnanswered, kChunkReply},
        // Past its reply time, well within the grace.
        FaultCase{"late", onChunk(Fault::Late, 800ms), true, {kTimeout}},
        FaultCase{
            "error_status",
            onChunk(Fault::ErrorStatus),
            false,
            {"Message with problem - error code: 3", kTimeout},
            "STM32 upload failed: the device refused the write file request at offset 288 (error code 3)"},
        FaultCase{"truncated", onChunk(Fault::Truncated), false, {kTimeout}, kChunkUnanswered, kChunkReply},
        // The erase write's answer lost: the device may be erasing, and the upload gives up
        // after the erase's long reply time and the grace.
        FaultCase{"erase_write_unanswered",
                  {Fault::Drop, 3, 0, 0ms, 0},
                  false,
                  {},
                  "STM32 upload failed: no answer to the erase write within 20000 ms",
                  std::chrono::milliseconds(20000)},
        // The noise and the answer may arrive in one read, which ends inside a frame, so the
        // reader's warning about a read of noise alone is not certain: only the outcome is.
        FaultCase{"noise", onChunk(Fault::Noise), true, {}},
        FaultCase{"noise_with_start_byte",
                  onChunk(Fault::NoiseWithStart),
                  false,
                  {kTimeout},
                  kChunkUnanswered,
                  kChunkReply},
        FaultCase{"split_byte_by_byte", onChunk(Fault::SplitBytes), true, {}},
        FaultCase{"hang_up",
                  onChunk(Fault::HangUp),
                  false,
                  {"COM read failed; treating as disconnected", "SerialListener: Thread is terminated"},
                  "STM32 upload failed: the link was lost at 14 %"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, TheEraseCodeGoesOutAsFourBytesWhateverTypeTheDeviceDescribed) {
    sim::BeaconConfig config;
    config.fields = sim::beaconFields(1);
    config.fields[1].type = 0; // "erase" described as a one-byte value
    UploadRig rig(0, config);
    ASSERT_TRUE(startUpload(rig, sim::sharedTestImage(64)));
    ASSERT_TRUE(transferCompletes(rig, 64));
    EXPECT_EQ(rig.beacon().fieldValue(1), 0x2C71D94Au);
    EXPECT_TRUE(rig.beacon().imageMatches());
}

TEST_F(EndToEnd, ARebootWritesItsFieldAndTheLinkComesBackWithANewSearch) {
    UploadRig rig;
    ASSERT_TRUE(connect(rig));
    ASSERT_TRUE(discovered(rig));
    ASSERT_TRUE(eventually("all four field descriptions", [&] {
        std::lock_guard<std::recursive_mutex> lock(rig.engine().getMutex());
        return rig.engine().deviceHandler.getDevice(5)->getFieldCount() == 4;
    }));
    const std::size_t searches = rig.beacon().requestCount(1);
    rig.session().rebootDevice();
    EXPECT_TRUE(rig.session().reconnectInProgress());
    // Field 3 of the default table is "reboot".
    ASSERT_TRUE(
        eventually("the value 1 in the field \"reboot\"", [&] { return rig.beacon().fieldValue(3) == 1; }));
    // The link is closed and opened again, the workers restart and search once more.
    ASSERT_TRUE(eventually("the end of the reconnect", [&] { return !rig.session().reconnectInProgress(); }));
    EXPECT_TRUE(rig.link().isConnected());
    ASSERT_TRUE(eventually("a search after the reconnect",
                           [&] { return rig.beacon().requestCount(1) == searches + 1; }));
    // The engine starts its pack numbers over, as a rebooted device expects; the simulated
    // one does not restart and notes that.
    EXPECT_EQ(rig.beacon().violations(), std::vector<std::string>{"pack #1 after pack #6"});
}

TEST_F(EndToEnd, NoReconnectWithoutASerialLink) {
    UploadRig rig;
    rig.session().scheduleSerialReconnectAfterReboot();
    EXPECT_FALSE(rig.session().reconnectInProgress());
    rig.link().connect(UsbCommunication::USB);
    rig.session().scheduleSerialReconnectAfterReboot();
    EXPECT_FALSE(rig.session().reconnectInProgress());
}

TEST_F(EndToEnd, AfterAHangUpTheLinkIsDroppedAndTheListenerEnded) {
    UploadRig rig;
    ASSERT_TRUE(connect(rig));
    rig.line().hangUp();
    ASSERT_TRUE(logged("SerialListener: Thread is terminated"));
    EXPECT_FALSE(rig.link().isConnected());
    // A request now fails its six tries and is dropped; nothing hangs.
    rig.sender().search();
    ASSERT_TRUE(logged("Response count exceeded"));
}

} // namespace
} // namespace tavisk::test
