// Runs in a process of its own: the loader's state is process-wide, and this looks at it before
// any connection was made.
#include "espflash/esp_loader.h"
#include "tests/espflash/FakeLoaderPort.h"
#include "tests/sim/rom/SimRomLoader.h"

#include <gtest/gtest.h>

namespace {
TEST(LoaderBeforeConnecting, OperationsThatNeedTheChipRefuseWithoutTraffic) {
    tavisk::sim::SimRomLoader rom;
    tavisk::test::FakeLoaderPort port;
    port.attach(&rom);
    EXPECT_EQ(esp_loader_get_target(), CHIP_UNKNOWN);
    std::uint32_t size = 0;
    EXPECT_EQ(esp_loader_flash_detect_size(&size), LOADER_BAD_TARGET);
    EXPECT_EQ(esp_loader_flash_start(0, 4096, 1024), LOADER_BAD_TARGET);
    EXPECT_TRUE(rom.commands().empty());

    // A failed connection leaves it so.
    rom.config().security = tavisk::sim::SimRomSecurityForm::Full20;
    rom.config().securityChipId = 99;
    const loader_connect_args args{500, 1};
    EXPECT_EQ(esp_loader_connect(&args), LOADER_BAD_TARGET);
    EXPECT_EQ(esp_loader_flash_start(0, 4096, 1024), LOADER_BAD_TARGET);
}
} // namespace
