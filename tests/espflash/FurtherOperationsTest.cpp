#include "espflash/esp_loader.h"
#include "espflash/esp_loader_further.h"
#include "espflash/protocol_serial.h"
#include "tests/espflash/FakeLoaderPort.h"
#include "tests/sim/rom/SimRomLoader.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {
using namespace tavisk::test;
using namespace std::chrono_literals;
using tavisk::sim::SimRomLoader;
using Words = std::vector<std::uint32_t>;
using Bytes = std::vector<std::uint8_t>;

const loader_connect_args kArgs{500, 20};

tavisk::sim::SimRomConfig chip(std::uint32_t chipId) {
    tavisk::sim::SimRomConfig c;
    c.security = tavisk::sim::SimRomSecurityForm::Full20;
    c.securityChipId = chipId;
    return c;
}

// The further operations over the simulated ROM loader on the virtual clock. The stub flag is
// process-wide: every test starts with it cleared.
class Further : public ::testing::Test {
protected:
    explicit Further(tavisk::sim::SimRomConfig config = {}) : rom(config) {
        port.attach(&rom);
        esp_loader_reset_target();
        for (std::size_t i = 0; i < 0x3000; ++i)
            flashPattern.push_back(static_cast<std::uint8_t>(i * 31 + 7));
    }
    ~Further() override { esp_loader_reset_target(); }

    void connect(bool withStub) {
        ASSERT_EQ(withStub ? esp_loader_connect_with_stub(&kArgs) : esp_loader_connect(&kArgs), LOADER_OK);
        ASSERT_EQ(esp_stub_get_running(), withStub);
        // Give the flash some content to read back.
        ASSERT_EQ(esp_loader_flash_start(0, static_cast<std::uint32_t>(flashPattern.size()), 1024),
                  LOADER_OK);
        for (std::size_t at = 0; at < flashPattern.size(); at += 1024) {
            Bytes block(flashPattern.begin() + static_cast<std::ptrdiff_t>(at),
                        flashPattern.begin() + static_cast<std::ptrdiff_t>(at + 1024));
            ASSERT_EQ(esp_loader_flash_write(block.data(), 1024), LOADER_OK);
        }
        mark = rom.commands().size();
    }
    // Commands since connect(), as transcript lines.
    std::vector<std::string> since() const {
        const auto all = rom.transcriptLines();
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
    }

    SimRomLoader rom;
    FakeLoaderPort port;
    Bytes flashPattern;
    std::size_t mark = 0;
};

TEST_F(Further, StubLoadsBothSegmentsAndGreets) {
    ASSERT_EQ(esp_loader_connect_with_stub(&kArgs), LOADER_OK);
    EXPECT_TRUE(esp_stub_get_running());
    const std::vector<std::string> expected{
        "SYNC",
        "GET_SECURITY_INFO",
        "READ_REG 0x40001000",
        "MEM_BEGIN 0x00003254 0x00000003 0x00001800 0x40080000",
        "MEM_DATA seq=0 size=6144",
        "MEM_DATA seq=1 size=6144",
        "MEM_DATA seq=2 size=596",
        "MEM_BEGIN 0x000001D4 0x00000001 0x00001800 0x3FFB0000",
        "MEM_DATA seq=0 size=468",
        "MEM_END 0x00000000 0x400822B4",
    };
    EXPECT_EQ(rom.transcriptLines(), expected);
    EXPECT_EQ(rom.memoryBytes(), 468u);
    esp_loader_reset_target();
    EXPECT_FALSE(esp_stub_get_running());
}

TEST(FurtherStub, RefusedChipsAndBadGreetings) {
    const struct {
        const char* name;
        tavisk::sim::SimRomConfig config;
        LoaderResult result;
        bool memoryCommands;
    } cases[] = {
        {"ESP32-C5", chip(23), LOADER_UNSUPPORTED_CHIP, false},
        {"ESP32-P4", chip(18), LOADER_UNSUPPORTED_CHIP, false},
        {"ESP8266 has no stub image", chip(0xFF), LOADER_UNSUPPORTED_CHIP, false},
        {"wrong greeting",
         [] {
             auto c = chip(0);
             c.stubGreeting = "OHAX";
             return c;
         }(),
         LOADER_BAD_RESPONSE, true},
        {"long greeting",
         [] {
             auto c = chip(0);
             c.stubGreeting = "OHAI!";
             return c;
         }(),
         LOADER_OK, true}, // cut to the four bytes it may hold
        {"no greeting",
         [] {
             auto c = chip(0);
             c.stubGreeting = "";
             return c;
         }(),
         LOADER_TIMEOUT, true},
    };
    for (const auto& c : cases) {
        esp_loader_reset_target();
        SimRomLoader model(c.config);
        FakeLoaderPort port;
        port.attach(&model);
        EXPECT_EQ(esp_loader_connect_with_stub(&kArgs), c.result) << c.name;
        EXPECT_EQ(esp_stub_get_running(), c.result == LOADER_OK) << c.name;
        const bool memory = std::any_of(model.commands().begin(), model.commands().end(),
                                        [](const auto& cmd) { return cmd.opcode == MEM_BEGIN; });
        EXPECT_EQ(memory, c.memoryCommands) << c.name;
        EXPECT_EQ(model.commands().front().opcode, SYNC) << c.name;
    }
    esp_loader_reset_target();
}

TEST_F(Further, MemoryLoadDeadlineAndChecks) {
    connect(false);
    for (bool inTime : {true, false}) {
        rom.faults().lateAnswers = {{MEM_BEGIN, 0, 1, 25768ms - (inTime ? 1ms : 0ms)}};
        EXPECT_EQ(esp_loader_mem_start(0x40080000, 12884, 6144), inTime ? LOADER_OK : LOADER_TIMEOUT);
        EXPECT_EQ(rom.commands().back().words(), (Words{12884, 3, 6144, 0x40080000}));
        port.advance(30s); // let the late answer pass
    }
    const std::size_t before = rom.commands().size();
    EXPECT_EQ(esp_loader_mem_start(0x40080000, 16, 0), LOADER_BAD_PARAM);
    EXPECT_EQ(rom.commands().size(), before);
}

TEST_F(Further, MemoryLoadMayNotOverlapTheRunningStub) {
    connect(true);
    const struct {
        std::uint32_t offset, size;
        LoaderResult result;
    } cases[] = {
        {0x3FFB0100, 16, LOADER_BAD_PARAM},   // inside the data segment
        {0x4007FFF0, 0x20, LOADER_BAD_PARAM}, // over the start of the code segment
        {0x3FFB0000 + 468, 16, LOADER_OK},    // just after the data segment
        {0x40080000 - 16, 16, LOADER_OK},     // just before the code segment
    };
    for (const auto& c : cases) {
        port.debugLines.clear();
        EXPECT_EQ(esp_loader_mem_start(c.offset, c.size, 6144), c.result) << std::hex << c.offset;
        const bool refused = c.result == LOADER_BAD_PARAM;
        EXPECT_EQ(port.debugLines.size(), refused ? 1u : 0u);
        if (refused) {
            EXPECT_EQ(port.debugLines[0],
                      "Software loader is resident at the requested address, can't load binary "
                      "at overlapping address range");
        }
    }
}

TEST_F(Further, SlowReadCopiesTheAskedBytesFromWholeBlocks) {
    connect(false);
    const struct {
        std::uint32_t address, length;
        std::vector<std::string> reads;
    } cases[] = {
        {0x3E, 10, {"READ_FLASH_SLOW 0x00000000 0x00000040", "READ_FLASH_SLOW 0x00000040 0x00000040"}},
        {0x80, 64, {"READ_FLASH_SLOW 0x00000080 0x00000040"}},
        {0x100, 0, {}},
    };
    for (const auto& c : cases) {
        mark = rom.commands().size();
        Bytes buffer(c.length + 1, 0xEE);
        EXPECT_EQ(esp_loader_flash_read(buffer.data(), c.address, c.length), LOADER_OK);
        auto lines = since();
        ASSERT_EQ(lines.front().rfind("SPI_SET_PARAMS", 0), 0u);
        lines.erase(lines.begin());
        EXPECT_EQ(lines, c.reads);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.length),
                  Bytes(flashPattern.begin() + c.address, flashPattern.begin() + c.address + c.length));
        EXPECT_EQ(buffer[c.length], 0xEE);
    }
}

TEST_F(Further, AnEmptyReadNeedsNoBuffer) {
    connect(false);
    // Even when the address is not on a block boundary, nothing is copied.
    EXPECT_EQ(esp_loader_flash_read(nullptr, 0x3E, 0), LOADER_OK);
    EXPECT_EQ(esp_loader_flash_read(nullptr, 0x3E, 1), LOADER_BAD_PARAM);
}

TEST_F(Further, ReadsBeyondTheFlashAreRefused) {
    connect(false);
    Bytes buffer(0x40);
    EXPECT_EQ(esp_loader_flash_read(buffer.data(), 0x3FFFF0, 0x20), LOADER_IMAGE_TOO_LARGE);
    EXPECT_EQ(esp_loader_flash_read(buffer.data(), 0xFFFFFFF0, 0x20), LOADER_IMAGE_TOO_LARGE);
}

TEST_F(Further, StreamedReadWithDigest) {
    connect(true);
    const struct {
        const char* name;
        std::uint32_t address, length;
        std::function<void(tavisk::sim::SimRomFaults&)> fault;
        LoaderResult result;
        Words request;
    } cases[] = {
        {"head and padding", 0x1001, 5, nullptr, LOADER_OK, {0x1000, 8, 256, 1}},
        {"several packets", 0x203, 1000, nullptr, LOADER_OK, {0x200, 1004, 256, 1}},
        {"wrong digest",
         0x100,
         300,
         [](auto& f) { f.md5Mismatch = true; },
         LOADER_MD5_MISMATCH,
         {0x100, 300, 256, 1}},
        {"digest of 15 bytes",
         0x100,
         300,
         [](auto& f) { f.shortDigest = true; },
         LOADER_MD5_MISMATCH,
         {0x100, 300, 256, 1}},
        {"short packet in the stream",
         0x100,
         600,
         [](auto& f) { f.streamBreakAfter = 1; },
         LOADER_BAD_RESPONSE,
         {0x100, 600, 256, 1}},
    };
    for (const auto& c : cases) {
        rom.faults() = {};
        if (c.fault)
            c.fault(rom.faults());
        Bytes buffer(c.length, 0);
        EXPECT_EQ(esp_loader_flash_read(buffer.data(), c.address, c.length), c.result) << c.name;
        auto it = std::find_if(rom.commands().rbegin(), rom.commands().rend(),
                               [](const auto& cmd) { return cmd.opcode == READ_FLASH; });
        ASSERT_NE(it, rom.commands().rend());
        EXPECT_EQ(it->words(), c.request) << c.name;
        if (c.result == LOADER_OK) {
            EXPECT_EQ(buffer,
                      Bytes(flashPattern.begin() + c.address, flashPattern.begin() + c.address + c.length))
                << c.name;
        }
        port.advance(5s); // whatever a broken stream left on the line
    }
}

TEST_F(Further, RegionEraseWithoutTheStubOpensAWrite) {
    connect(false);
    const struct {
        std::uint32_t offset, size;
        LoaderResult result;
        bool traffic;
    } cases[] = {
        {0x1000, 0x2000, LOADER_OK, true},         {0x1800, 0x2000, LOADER_BAD_PARAM, false},
        {0x1000, 0x1800, LOADER_BAD_PARAM, false}, {0x3FF000, 0x2000, LOADER_FAIL, true},
        {0xFFFFF000, 0x2000, LOADER_FAIL, true}, // wraps in 32 bits
    };
    for (const auto& c : cases) {
        mark = rom.commands().size();
        EXPECT_EQ(esp_loader_flash_erase_region(c.offset, c.size), c.result) << std::hex << c.offset;
        EXPECT_EQ(!since().empty(), c.traffic) << std::hex << c.offset;
        if (c.result == LOADER_OK) {
            EXPECT_EQ(rom.commands().back().opcode, FLASH_BEGIN);
            EXPECT_EQ(rom.commands().back().words(), (Words{0x2000, 8, 1024, 0x1000}));
        }
    }
}

TEST_F(Further, EraseWithTheStubUsesItsOwnCommands) {
    connect(true);
    EXPECT_EQ(esp_loader_flash_erase_region(0x1000, 0x1000), LOADER_OK);
    EXPECT_EQ(since(), (std::vector<std::string>{
                           "SPI_SET_PARAMS 0x00000000 0x00400000 0x00010000 0x00001000 0x00000100 0x0000FFFF",
                           "ERASE_REGION 0x00001000 0x00001000"}));
    EXPECT_TRUE(std::all_of(rom.flash().begin() + 0x1000, rom.flash().begin() + 0x2000,
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(rom.flash()[0xFFF], flashPattern[0xFFF]);
    EXPECT_EQ(esp_loader_flash_erase(), LOADER_OK);
    EXPECT_EQ(rom.commands().back().opcode, ERASE_FLASH);
    EXPECT_TRUE(
        std::all_of(rom.flash().begin(), rom.flash().end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(Further, WholeEraseWithoutTheStubBeginsAWriteOfTheWholeFlash) {
    connect(false);
    // The erase deadline of 4 MiB is 41,943 ms.
    rom.faults().lateAnswers = {{FLASH_BEGIN, 0, 1, 41942ms}};
    EXPECT_EQ(esp_loader_flash_erase(), LOADER_OK);
    EXPECT_EQ(rom.commands().back().words(), (Words{0x400000, 4096, 1024, 0}));
}

TEST_F(Further, CompressedWrites) {
    connect(false);
    EXPECT_EQ(esp_loader_flash_deflate_start(0x1000, 0x8000, 1500, 0), LOADER_BAD_PARAM);
    EXPECT_EQ(esp_loader_flash_deflate_start(0x1002, 0x8000, 1500, 1024), LOADER_BAD_PARAM);
    mark = rom.commands().size();
    ASSERT_EQ(esp_loader_flash_deflate_start(0x1000, 0x8000, 1500, 1024), LOADER_OK);
    EXPECT_EQ(since().back(), "FLASH_DEFL_BEGIN 0x00008000 0x00000002 0x00000400 0x00001000");
    Bytes stream(1500);
    for (std::size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<std::uint8_t>(i ^ 0xC0);
    rom.faults().errorOpcode = FLASH_DEFL_DATA;
    rom.faults().errors = 1;
    EXPECT_EQ(esp_loader_flash_deflate_write(stream.data(), 1024), LOADER_OK);
    EXPECT_EQ(esp_loader_flash_deflate_write(stream.data() + 1024, 476), LOADER_OK);
    EXPECT_EQ(esp_loader_flash_deflate_write(stream.data(), 1025), LOADER_BAD_PARAM);
    EXPECT_EQ(rom.deflateStream(), stream);
    const std::size_t before = rom.commands().size();
    EXPECT_EQ(esp_loader_flash_deflate_finish(false), LOADER_OK);
    EXPECT_EQ(rom.commands().size(), before); // nothing to send without the stub
    EXPECT_EQ(esp_loader_flash_deflate_finish(true), LOADER_OK);
    EXPECT_EQ(rom.transcriptLines().back(), "FLASH_DEFL_END 0x00000000");
}

TEST_F(Further, CompressedFinishWithTheStubAsksToStay) {
    connect(true);
    ASSERT_EQ(esp_loader_flash_deflate_start(0, 1024, 100, 1024), LOADER_OK);
    EXPECT_EQ(rom.commands().back().words().size(), 4u); // no fifth word while the stub runs
    EXPECT_EQ(esp_loader_flash_deflate_finish(false), LOADER_OK);
    EXPECT_EQ(rom.transcriptLines().back(), "FLASH_DEFL_END 0x00000001");
}

TEST(FurtherChips, WritesWhileTheStubRunsLeaveTheFifthWordOff) {
    esp_loader_reset_target();
    SimRomLoader model(chip(5)); // C3: its ROM takes the fifth word
    FakeLoaderPort port;
    port.attach(&model);
    ASSERT_EQ(esp_loader_connect_with_stub(&kArgs), LOADER_OK);
    for (bool deflate : {false, true}) {
        ASSERT_EQ(deflate ? esp_loader_flash_deflate_start(0x1000, 4096, 100, 1024)
                          : esp_loader_flash_start(0x1000, 4096, 1024),
                  LOADER_OK);
        EXPECT_EQ(model.commands().back().words(), (Words{4096, deflate ? 1u : 4u, 1024, 0x1000}));
    }
    esp_loader_reset_target();
}

TEST(FurtherChips, Esp8266Refusals) {
    esp_loader_reset_target();
    SimRomLoader model(chip(0xFF));
    FakeLoaderPort port;
    port.attach(&model);
    ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
    std::uint8_t mac[6];
    EXPECT_EQ(esp_loader_read_mac(mac), LOADER_UNSUPPORTED_CHIP);
    EXPECT_EQ(esp_loader_change_transmission_rate(921600), LOADER_UNSUPPORTED_OP);
    EXPECT_EQ(esp_loader_change_transmission_rate_stub(115200, 921600), LOADER_UNSUPPORTED_OP);
    EXPECT_EQ(esp_loader_flash_deflate_start(0, 1024, 100, 1024), LOADER_UNSUPPORTED_OP);
}

TEST_F(Further, MacAddressFromTwoEfuseWords) {
    rom.config().registers[0x3FF5A004] = 0x11223344;
    rom.config().registers[0x3FF5A008] = 0xFFFFAABB;
    SimRomLoader model(rom.config());
    port.attach(&model);
    ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
    std::uint8_t mac[6] = {};
    EXPECT_EQ(esp_loader_read_mac(mac), LOADER_OK);
    EXPECT_EQ(Bytes(mac, mac + 6), (Bytes{0xAA, 0xBB, 0x11, 0x22, 0x33, 0x44}));
    model.faults().silentOpcode = READ_REG;
    model.faults().silents = 1;
    std::uint8_t untouched[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(esp_loader_read_mac(untouched), LOADER_TIMEOUT);
    EXPECT_EQ(Bytes(untouched, untouched + 6), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST(FurtherChips, BaudRateRequests) {
    const struct {
        const char* name;
        std::uint32_t chipId;
        std::uint32_t uartDivider; // register 0x60000014 of the C2
        std::uint32_t rate;
        Words sent;
    } cases[] = {
        {"ESP32", 0, 0, 921600, {921600, 0}},
        {"C2 with a 26 MHz crystal", 12, 226, 460800, {708923, 0}},
        {"C2 with a 40 MHz crystal", 12, 347, 460800, {460800, 0}},
    };
    for (const auto& c : cases) {
        esp_loader_reset_target();
        auto config = chip(c.chipId);
        config.registers[0x60000014] = 0xFFF00000 | c.uartDivider;
        SimRomLoader model(config);
        FakeLoaderPort port;
        port.attach(&model);
        ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK) << c.name;
        EXPECT_EQ(esp_loader_change_transmission_rate(c.rate), LOADER_OK) << c.name;
        EXPECT_EQ(model.baudChange(), c.sent) << c.name;
        EXPECT_EQ(esp_loader_change_transmission_rate_stub(115200, c.rate), LOADER_UNSUPPORTED_OP) << c.name;
    }
}

TEST_F(Further, StubBaudRateRequestWaitsForTheChip) {
    connect(true);
    EXPECT_EQ(esp_loader_change_transmission_rate(921600), LOADER_UNSUPPORTED_OP);
    port.delays.clear();
    EXPECT_EQ(esp_loader_change_transmission_rate_stub(115200, 921600), LOADER_OK);
    EXPECT_EQ(rom.baudChange(), (Words{921600, 115200}));
    EXPECT_EQ(port.delays, (std::vector<std::uint32_t>{25}));
}

TEST(FurtherSecure, SecureDownloadTakesTheGivenChipAndSize) {
    const struct {
        const char* name;
        TargetChip target;
        LoaderResult result;
        std::vector<std::string> transcript;
    } cases[] = {
        {"given ESP32", CHIP_ESP32, LOADER_OK, {"SYNC", "SPI_ATTACH 0x00000000 0x00000000"}},
        {"unknown: detected",
         CHIP_UNKNOWN,
         LOADER_OK,
         {"SYNC", "GET_SECURITY_INFO", "READ_REG 0x40001000", "SPI_ATTACH 0x00000000 0x00000000"}},
        {"out of the table", static_cast<TargetChip>(42), LOADER_BAD_TARGET, {}},
    };
    for (const auto& c : cases) {
        esp_loader_reset_target();
        SimRomLoader model;
        FakeLoaderPort port;
        port.attach(&model);
        EXPECT_EQ(esp_loader_connect_secure_download_mode(&kArgs, 0x100000, c.target), c.result) << c.name;
        EXPECT_EQ(model.transcriptLines(), c.transcript) << c.name;
        if (c.result != LOADER_OK)
            continue;
        EXPECT_EQ(esp_loader_get_target(), CHIP_ESP32) << c.name;
        // The given size is used without detection; the chip's row is there for the write.
        EXPECT_EQ(esp_loader_flash_start(0, 0x100000, 1024), LOADER_OK) << c.name;
        EXPECT_EQ(model.transcriptLines()[c.transcript.size()],
                  "SPI_SET_PARAMS 0x00000000 0x00100000 0x00010000 0x00001000 0x00000100 0x0000FFFF")
            << c.name;
        EXPECT_EQ(esp_loader_flash_start(0, 0x100004, 1024), LOADER_IMAGE_TOO_LARGE) << c.name;
    }
}

TEST_F(Further, AttachWhileTheStubRunsSendsTheConfigurationAlone) {
    connect(true);
    ASSERT_EQ(esp_loader_connect_secure_download_mode(&kArgs, 0x400000, CHIP_ESP32), LOADER_OK);
    const auto& attach = rom.commands().back();
    ASSERT_EQ(attach.opcode, SPI_ATTACH);
    EXPECT_EQ(attach.size, 8);
    EXPECT_EQ(attach.data.size(), 4u);
}

// The chip's MD5 of a flash range: hex text from the ROM, the raw digest from the stub; the
// ESP8266's ROM has no such command.
TEST(FurtherDigest, FlashMd5Forms) {
    const struct {
        const char* name;
        std::uint32_t magic;
        unsigned statusBytes;
        bool withStub;
        bool refused;
        bool silent;
        LoaderResult result;
        std::vector<std::string> debug;
    } cases[] = {
        {"ROM, four status bytes", 0x00F01D83, 4, false, false, false, LOADER_OK, {}},
        {"ROM, two status bytes", 0x00F01D83, 2, false, false, false, LOADER_OK, {}},
        {"stub", 0x00F01D83, 4, true, false, false, LOADER_OK, {}},
        // Cut to its first two status bytes, the short answer reads as two bytes of data.
        {"failure status, four status bytes", 0x00F01D83, 4, false, true, false, LOADER_BAD_RESPONSE, {}},
        {"failure status, two status bytes",
         0x00F01D83,
         2,
         false,
         true,
         false,
         LOADER_BAD_RESPONSE,
         {"Error: COMMAND_FAILED"}},
        {"no answer", 0x00F01D83, 4, false, false, true, LOADER_TIMEOUT, {}},
        {"ESP8266", 0xFFF0C101, 2, false, false, false, LOADER_UNSUPPORTED_OP, {}},
    };
    constexpr std::uint32_t kAddress = 0x100;
    constexpr std::uint32_t kSize = 0xE00;
    for (const auto& c : cases) {
        esp_loader_reset_target();
        tavisk::sim::SimRomConfig config;
        config.registers = {{0x40001000, c.magic}};
        config.statusBytes = c.statusBytes;
        SimRomLoader model(config);
        FakeLoaderPort port;
        port.attach(&model);
        ASSERT_EQ(c.withStub ? esp_loader_connect_with_stub(&kArgs) : esp_loader_connect(&kArgs), LOADER_OK)
            << c.name;
        ASSERT_EQ(esp_loader_flash_start(0, 4096, 1024), LOADER_OK) << c.name;
        for (std::uint32_t at = 0; at < 4096; at += 1024) {
            Bytes block(1024);
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = static_cast<std::uint8_t>((at + i) * 13 + 1);
            ASSERT_EQ(esp_loader_flash_write(block.data(), 1024), LOADER_OK) << c.name;
        }
        model.faults().errorOpcode = c.refused ? SPI_FLASH_MD5 : 0;
        model.faults().errors = 1;
        model.faults().silentOpcode = c.silent ? SPI_FLASH_MD5 : 0;
        model.faults().silents = 1;
        const std::size_t mark = model.commands().size();
        port.debugLines.clear();
        const auto before = port.now();
        std::uint8_t digest[16] = {};
        EXPECT_EQ(esp_loader_flash_md5(kAddress, kSize, digest), c.result) << c.name;
        EXPECT_EQ(port.now() - before, c.silent ? std::chrono::milliseconds(loader_md5_timeout(kSize)) : 0ms)
            << c.name;
        EXPECT_EQ(port.debugLines, c.debug) << c.name;
        if (c.result == LOADER_UNSUPPORTED_OP) {
            EXPECT_EQ(model.commands().size(), mark) << c.name;
            continue;
        }
        EXPECT_EQ(model.transcriptLines().back(), "SPI_FLASH_MD5 0x00000100 0x00000E00 0x00000000 0x00000000")
            << c.name;
        if (c.result == LOADER_OK) {
            EXPECT_EQ(Bytes(digest, digest + 16), SimRomLoader::md5(model.flash().data() + kAddress, kSize))
                << c.name;
        }
    }
    esp_loader_reset_target();
}
} // namespace
