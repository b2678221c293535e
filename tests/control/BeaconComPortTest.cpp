// The STM32 road on Windows: the real Win32 port, link, workers and engine under wine,
// against the simulated beacon that scripts/test-windows serves on the COM port named by
// TAVISK_TEST_BEACON_PORT.

#include "tests/control/ProgressWait.h"
#include "tests/control/SessionRig.h"
#include "tests/sim/beacon/SharedTestImage.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tavisk::test {
namespace {

using namespace std::chrono_literals;

TEST(BeaconComPort, SearchFieldsAndUploadThroughTheWin32Port) {
    const char* port = std::getenv("TAVISK_TEST_BEACON_PORT");
    if (!port || !*port)
        GTEST_SKIP() << "TAVISK_TEST_BEACON_PORT is not set (scripts/test-windows sets it)";
    LogCapture log;
    SessionRig rig;
    rig.setImage(sim::sharedTestImage());
    std::string error;
    ASSERT_TRUE(rig.connect(port, &error)) << error;
    ASSERT_TRUE(rig.startUpload()) << "the erase wait ended without writing the erase code";
    // The beacon refuses to close an image that differs from the one it expects, so this
    // line means the image arrived intact. The wait fails once the transfer stops moving.
    const std::string complete = "Firmware transfer complete: 3000 bytes";
    ASSERT_TRUE(waitWithProgress(
        "the line \"" + complete + "\"", [&] { return log.contains(complete); },
        [&] { return "the transfer at " + std::to_string(rig.engine().transferPercent.load()) + " %"; }));
    EXPECT_TRUE(rig.waitForTransferEnd(20s));
    EXPECT_EQ(rig.loadFirmwareCount(), 1);
    EXPECT_FALSE(log.contains("Message with problem"));
    EXPECT_FALSE(log.contains("received message with wrong CRC"));
}

} // namespace
} // namespace tavisk::test
