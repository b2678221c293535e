#include "espflash/esp_loader.h"
#include "espflash/esp_targets.h"
#include "espflash/protocol_serial.h"
#include "tests/espflash/FakeLoaderPort.h"
#include "tests/sim/rom/SimRomLoader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {
using namespace tavisk::test;
using namespace std::chrono_literals;
using tavisk::sim::SimRomLoader;
using Security = tavisk::sim::SimRomSecurityForm;

const loader_connect_args kArgs{500, 20};

// The loader over the simulated ROM loader, on the virtual clock.
class Loader : public ::testing::Test {
protected:
    Loader() { port.attach(&rom); }

    std::size_t count(const std::string& prefix) const {
        const auto lines = rom.transcriptLines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    std::vector<std::uint32_t> lastWords(std::uint8_t opcode) const {
        for (auto it = rom.commands().rbegin(); it != rom.commands().rend(); ++it) {
            if (it->opcode == opcode)
                return it->words();
        }
        return {};
    }

    SimRomLoader rom;
    FakeLoaderPort port;
};

TEST_F(Loader, ConnectEntersSyncsDetectsAndAttaches) {
    ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
    EXPECT_EQ(port.bootloaderEntries, 1);
    EXPECT_EQ(esp_loader_get_target(), CHIP_ESP32);
    const std::vector<std::string> expected{
        "SYNC",
        "GET_SECURITY_INFO",
        "READ_REG 0x40001000",
        "READ_REG 0x3FF5A014",
        "READ_REG 0x3FF5A00C",
        "SPI_ATTACH 0x00000000 0x00000000",
    };
    EXPECT_EQ(rom.transcriptLines(), expected);
}

TEST_F(Loader, SyncRetriesUntilTheTrialsRunOut) {
    const struct {
        int silent;
        std::uint32_t trials;
        LoaderResult result;
        std::size_t syncs;
        std::chrono::milliseconds elapsed; // until the last SYNC gave up or the first answer came
    } cases[] = {
        {1000, 20, LOADER_TIMEOUT, 20, 20 * 500ms + 19 * 100ms},
        {1000, 1, LOADER_TIMEOUT, 1, 500ms},
        {3, 20, LOADER_OK, 4, 3 * 600ms},
    };
    for (const auto& c : cases) {
        SimRomLoader model;
        FakeLoaderPort fresh;
        fresh.attach(&model);
        model.faults().silentSyncs = c.silent;
        const loader_connect_args args{500, c.trials};
        EXPECT_EQ(esp_loader_connect(&args), c.result);
        std::size_t syncs = 0;
        for (const auto& cmd : model.commands())
            syncs += cmd.opcode == SYNC;
        EXPECT_EQ(syncs, c.syncs);
        const std::vector<std::uint32_t> pauses(c.syncs - 1, 100);
        EXPECT_EQ(fresh.delays, pauses);
        if (c.result != LOADER_OK) {
            EXPECT_EQ(fresh.now(), c.elapsed);
        }
    }
}

TEST_F(Loader, SyncFailuresOtherThanTimeoutEndAtOnce) {
    rom.faults().errorOpcode = SYNC;
    rom.faults().errors = 1;
    EXPECT_EQ(esp_loader_connect(&kArgs), LOADER_BAD_RESPONSE);
    EXPECT_EQ(count("SYNC"), 1u);
    EXPECT_TRUE(port.delays.empty());
}

struct DetectCase {
    const char* name;
    Security security;
    std::uint32_t chipId;
    std::map<std::uint32_t, std::uint32_t> registers;
    LoaderResult result;
    TargetChip target;
    std::size_t registerReads; // before the pin configuration
    unsigned statusBytes = 4;
};

TEST_F(Loader, ChipDetection) {
    const DetectCase cases[] = {
        {"security answer, chip id 0", Security::Full20, 0, {}, LOADER_OK, CHIP_ESP32, 0},
        {"security answer, chip id 9", Security::Full20, 9, {}, LOADER_OK, CHIP_ESP32S3, 0},
        {"short security answer, two status bytes", Security::Short12, 0, {}, LOADER_OK, CHIP_ESP32S2, 0, 2},
        // With four status bytes the short answer reads as 14 bytes: not a known form.
        {"short security answer, four status bytes",
         Security::Short12,
         0,
         {{0x40001000, 0x000007C6}},
         LOADER_OK,
         CHIP_ESP32S2,
         1,
         4},
        {"unknown chip id", Security::Full20, 99, {}, LOADER_BAD_TARGET, CHIP_UNKNOWN, 0},
        {"no security answer, ESP32 magic",
         Security::Silent,
         0,
         {{0x40001000, 0x00F01D83}},
         LOADER_OK,
         CHIP_ESP32,
         1},
        {"failure status, second C3 magic",
         Security::ErrorStatus,
         0,
         {{0x40001000, 0x1B31506F}},
         LOADER_OK,
         CHIP_ESP32C3,
         1},
        {"ESP8266 magic", Security::ErrorStatus, 0, {{0x40001000, 0xFFF0C101}}, LOADER_OK, CHIP_ESP8266, 1},
        {"P4 check with top bits set",
         Security::ErrorStatus,
         0,
         {{0x40001000, 0x12345678}, {0x500D0000, 0xF8000000 | 0x02207202}},
         LOADER_OK,
         CHIP_ESP32P4,
         2},
        {"nothing known",
         Security::ErrorStatus,
         0,
         {{0x40001000, 0x12345678}, {0x500D0000, 0x02207203}},
         LOADER_BAD_TARGET,
         CHIP_UNKNOWN,
         2},
    };
    for (const auto& c : cases) {
        tavisk::sim::SimRomConfig config;
        config.security = c.security;
        config.securityChipId = c.chipId;
        config.registers = c.registers;
        config.statusBytes = c.statusBytes;
        SimRomLoader model(config);
        FakeLoaderPort fresh;
        fresh.attach(&model);
        TargetChip target = CHIP_UNKNOWN;
        const esp_target_row* row = nullptr;
        EXPECT_EQ(loader_detect_chip(&target, &row), c.result) << c.name;
        EXPECT_EQ(target, c.target) << c.name;
        EXPECT_EQ(row, get_esp_target_data(c.target)) << c.name;
        std::size_t reads = 0;
        for (const auto& cmd : model.commands())
            reads += cmd.opcode == READ_REG;
        EXPECT_EQ(reads, c.registerReads) << c.name;
    }
}

TEST_F(Loader, Esp32PinConfiguration) {
    const auto pins = [](std::uint32_t clk, std::uint32_t q, std::uint32_t d, std::uint32_t cs) {
        return clk | q << 5 | d << 10 | cs << 15;
    };
    const struct {
        const char* name;
        std::uint32_t word5;
        std::uint32_t word3;
        std::uint32_t configuration;
    } cases[] = {
        {"default pins (0)", 0, 0x1F0, 0},
        {"default pins (all ones)", 0xFFFFF, 0x1F0, 0},
        {"custom pins, hd 30 skips two", pins(6, 7, 8, 11) | 0xFFF00000u, 30 << 4,
         32u << 24 | 11 << 18 | 8 << 12 | 7 << 6 | 6},
        {"cs equal to clk", pins(6, 7, 8, 6), 0, 0},
        {"d equal to q", pins(6, 7, 7, 11), 0, 0},
    };
    for (const auto& c : cases) {
        tavisk::sim::SimRomConfig config;
        config.registers = {{0x40001000, 0x00F01D83}, {0x3FF5A014, c.word5}, {0x3FF5A00C, c.word3}};
        SimRomLoader model(config);
        FakeLoaderPort fresh;
        fresh.attach(&model);
        ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK) << c.name;
        ASSERT_EQ(model.commands().back().opcode, SPI_ATTACH) << c.name;
        EXPECT_EQ(model.commands().back().words(), (std::vector<std::uint32_t>{c.configuration, 0}))
            << c.name;
    }
}

TEST_F(Loader, Esp32xxPinConfigurationComesFromTwoEfuseWords) {
    tavisk::sim::SimRomConfig config;
    config.security = Security::Full20;
    config.securityChipId = 5; // C3, eFuse base 0x60008800
    config.registers = {{0x60008848, 0xABCD0000}, {0x6000884C, 0xFFFF1234}};
    SimRomLoader model(config);
    FakeLoaderPort fresh;
    fresh.attach(&model);
    ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
    EXPECT_EQ(model.commands().back().words(), (std::vector<std::uint32_t>{0x1234ABCD & 0x3FFFFFFF, 0}));
}

TEST_F(Loader, FlashSizeFromTheIdentification) {
    constexpr std::uint32_t KiB = 1024;
    constexpr std::uint32_t MiB = 1024 * KiB;
    // Every capacity id the loader knows (the third byte of the identification), then ids
    // around them that it does not know.
    const struct {
        std::uint8_t capacity;
        std::uint32_t size;
    } known[] = {
        {0x12, 256 * KiB}, {0x13, 512 * KiB}, {0x14, 1 * MiB},   {0x15, 2 * MiB},   {0x16, 4 * MiB},
        {0x17, 8 * MiB},   {0x18, 16 * MiB},  {0x19, 32 * MiB},  {0x1A, 64 * MiB},  {0x1B, 128 * MiB},
        {0x1C, 256 * MiB}, {0x20, 64 * MiB},  {0x21, 128 * MiB}, {0x22, 256 * MiB}, {0x32, 256 * KiB},
        {0x33, 512 * KiB}, {0x34, 1 * MiB},   {0x35, 2 * MiB},   {0x36, 4 * MiB},   {0x37, 8 * MiB},
        {0x38, 16 * MiB},  {0x39, 32 * MiB},  {0x3A, 64 * MiB},
    };
    struct Case {
        std::uint32_t id;
        LoaderResult result;
        std::uint32_t size;
    };
    std::vector<Case> cases;
    for (const auto& k : known)
        cases.push_back({0x00004020u | std::uint32_t{k.capacity} << 16, LOADER_OK, k.size});
    for (std::uint8_t unknown : {0x00, 0x11, 0x1D, 0x1F, 0x23, 0x31, 0x3B, 0xFF})
        cases.push_back({std::uint32_t{unknown} << 16, LOADER_UNSUPPORTED_CHIP, 0});
    cases.push_back({0xEF164020, LOADER_OK, 4 * MiB}); // whatever the top byte holds
    for (const Case& c : cases) {
        tavisk::sim::SimRomConfig config;
        config.flashId = c.id;
        config.registers[0x3FF4201C] = 0x11111111; // usr
        config.registers[0x3FF42024] = 0x22222222; // usr2
        SimRomLoader model(config);
        FakeLoaderPort fresh;
        fresh.attach(&model);
        ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
        std::uint32_t size = 0;
        EXPECT_EQ(esp_loader_flash_detect_size(&size), c.result) << std::hex << c.id;
        EXPECT_EQ(size, c.size) << std::hex << c.id;
        EXPECT_EQ(model.reg(0x3FF4201C), 0x11111111u);
        EXPECT_EQ(model.reg(0x3FF42024), 0x22222222u);
        EXPECT_EQ(model.reg(0x3FF4202C), 23u); // miso_dlen
    }
}

TEST_F(Loader, FlashSizeBusyPoll) {
    const struct {
        int busyReads;
        LoaderResult result;
        std::size_t cmdReads;
    } cases[] = {{0, LOADER_OK, 1}, {9, LOADER_OK, 10}, {-1, LOADER_TIMEOUT, 10}};
    for (const auto& c : cases) {
        tavisk::sim::SimRomConfig config;
        config.busyReads = c.busyReads;
        SimRomLoader model(config);
        FakeLoaderPort fresh;
        fresh.attach(&model);
        ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
        const std::size_t before = model.commands().size();
        std::uint32_t size = 0;
        EXPECT_EQ(esp_loader_flash_detect_size(&size), c.result);
        std::size_t reads = 0;
        for (std::size_t i = before; i < model.commands().size(); ++i) {
            const auto& cmd = model.commands()[i];
            reads += cmd.opcode == READ_REG && cmd.words()[0] == 0x3FF42000;
        }
        EXPECT_EQ(reads, c.cmdReads);
    }
}

TEST_F(Loader, FlashStartChecksItsArguments) {
    const struct {
        const char* name;
        std::uint32_t offset, size, block;
        LoaderResult result;
        bool setParamsSent;
    } cases[] = {
        {"misaligned offset", 0x1001, 4096, 1024, LOADER_BAD_PARAM, false},
        {"misaligned size", 0, 1803185, 1024, LOADER_BAD_PARAM, false},
        {"block size 0", 0, 4096, 0, LOADER_BAD_PARAM, false},
        {"block overflows the size field", 0, 4096, 0xFFF0, LOADER_BAD_PARAM, false},
        {"largest block", 0, 4096, 0xFFEF, LOADER_OK, true},
        {"end of a 4 MiB flash", 0x3FF000, 4096, 1024, LOADER_OK, true},
        {"past the end", 0x3FF000, 4100, 1024, LOADER_IMAGE_TOO_LARGE, true},
        {"sum wraps in 32 bits", 0xFFFFF000, 0x2000, 1024, LOADER_IMAGE_TOO_LARGE, true},
    };
    for (const auto& c : cases) {
        SimRomLoader model;
        FakeLoaderPort fresh;
        fresh.attach(&model);
        ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
        const std::size_t before = model.commands().size();
        EXPECT_EQ(esp_loader_flash_start(c.offset, c.size, c.block), c.result) << c.name;
        bool setParams = false;
        for (std::size_t i = before; i < model.commands().size(); ++i)
            setParams |= model.commands()[i].opcode == SPI_SET_PARAMS;
        EXPECT_EQ(setParams, c.setParamsSent) << c.name;
    }
}

TEST_F(Loader, FlashBeginWordsAndDeadline) {
    const struct {
        std::uint32_t size;
        std::uint32_t blocks;
        std::chrono::milliseconds deadline;
    } cases[] = {{1803184, 1761, 18031ms}, {100000, 98, 3000ms}};
    for (const auto& c : cases) {
        for (bool inTime : {true, false}) {
            SimRomLoader model;
            FakeLoaderPort fresh;
            fresh.attach(&model);
            ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
            // The ROM answers FLASH_BEGIN just inside or just outside the deadline.
            model.faults().lateAnswers = {{FLASH_BEGIN, 0, 1, c.deadline - (inTime ? 1ms : 0ms)}};
            EXPECT_EQ(esp_loader_flash_start(0, c.size, 1024), inTime ? LOADER_OK : LOADER_TIMEOUT);
            const auto& begin = model.commands().back();
            ASSERT_EQ(begin.opcode, FLASH_BEGIN);
            EXPECT_EQ(begin.words(), (std::vector<std::uint32_t>{c.size, c.blocks, 1024, 0}));
        }
    }
}

TEST_F(Loader, Esp8266ShrinksTheEraseAndOthersAddTheFifthWord) {
    const struct {
        std::uint32_t chipId;
        std::uint32_t offset, size;
        std::vector<std::uint32_t> words;
    } cases[] = {
        {0xFF, 0, 8192, {4096, 8, 1024, 0}},
        {0xFF, 0x3C000, 40960, {24576, 40, 1024, 0x3C000}},
        {0, 0x3C000, 40960, {40960, 40, 1024, 0x3C000}},
        {5, 0x1000, 4096, {4096, 4, 1024, 0x1000, 0}},
    };
    for (const auto& c : cases) {
        tavisk::sim::SimRomConfig config;
        config.security = Security::Full20;
        config.securityChipId = c.chipId;
        SimRomLoader model(config);
        FakeLoaderPort fresh;
        fresh.attach(&model);
        ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
        EXPECT_EQ(esp_loader_flash_start(c.offset, c.size, 1024), LOADER_OK);
        EXPECT_EQ(model.commands().back().words(), c.words) << c.chipId;
    }
}

TEST_F(Loader, SizeDetectionFallsBackOncePerConnection) {
    rom.config().busyReads = -1;
    ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
    EXPECT_EQ(esp_loader_flash_start(0, 4096, 1024), LOADER_OK);
    EXPECT_EQ(port.debugLines,
              std::vector<std::string>{"Flash size detection failed, falling back to default"});
    EXPECT_EQ(lastWords(SPI_SET_PARAMS),
              (std::vector<std::uint32_t>{0, 0x200000, 0x10000, 0x1000, 0x100, 0xFFFF}));
    EXPECT_EQ(esp_loader_flash_start(0x200000, 4, 1024), LOADER_IMAGE_TOO_LARGE);
    EXPECT_EQ(port.debugLines.size(), 1u);

    // A new connection detects again.
    rom.config().busyReads = 0;
    ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
    EXPECT_EQ(esp_loader_flash_start(0x200000, 4, 1024), LOADER_OK);
    EXPECT_EQ(lastWords(SPI_SET_PARAMS)[1], 0x400000u);
}

TEST_F(Loader, BlocksArePaddedAndARetriedBlockKeepsItsNumber) {
    ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
    ASSERT_EQ(esp_loader_flash_start(0, 2048 + 8, 1024), LOADER_OK);
    std::vector<std::uint8_t> block(1024);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint8_t>(i * 7);
    rom.faults().badChecksumBlocks = 2; // the first block fails twice and gets through the third time
    const std::vector<std::uint8_t> image = block;
    EXPECT_EQ(esp_loader_flash_write(block.data(), 1024), LOADER_OK);
    EXPECT_EQ(esp_loader_flash_write(block.data(), 1024), LOADER_OK);
    EXPECT_EQ(esp_loader_flash_write(block.data(), 8), LOADER_OK);
    EXPECT_TRUE(std::all_of(block.begin() + 8, block.end(), [](std::uint8_t b) { return b == 0xFF; }));
    std::vector<std::uint32_t> numbers;
    for (const auto& cmd : rom.commands()) {
        if (cmd.opcode == FLASH_DATA)
            numbers.push_back(cmd.words()[1]);
    }
    EXPECT_EQ(numbers, (std::vector<std::uint32_t>{0, 0, 0, 1, 2}));
    EXPECT_EQ(std::vector<std::uint8_t>(rom.flash().begin(), rom.flash().begin() + 1024), image);
    EXPECT_EQ(std::vector<std::uint8_t>(rom.flash().begin() + 2048, rom.flash().begin() + 2056),
              std::vector<std::uint8_t>(image.begin(), image.begin() + 8));
    EXPECT_TRUE(std::all_of(rom.flash().begin() + 2048 + 8, rom.flash().begin() + 3072,
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(std::count(port.debugLines.begin(), port.debugLines.end(), "Error: BAD_DATA_CHECKSUM"), 2);
}

TEST_F(Loader, BlockWriteGivesUpAfterThreeAttempts) {
    ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
    ASSERT_EQ(esp_loader_flash_start(0, 4096, 1024), LOADER_OK);
    std::vector<std::uint8_t> block(1024, 1);
    rom.faults().silentOpcode = FLASH_DATA;
    rom.faults().silents = 3;
    const auto before = port.now();
    EXPECT_EQ(esp_loader_flash_write(block.data(), 1024), LOADER_TIMEOUT);
    // Three deadlines; the fences between them are answered at once.
    EXPECT_EQ(port.now() - before, 3000ms);
    EXPECT_EQ(count("FLASH_DATA"), 3u);
    EXPECT_EQ(count("READ_REG 0x40001000"), 3u); // one at the detection, two fences
    EXPECT_EQ(esp_loader_flash_write(block.data(), 1025), LOADER_BAD_PARAM);
    EXPECT_EQ(count("FLASH_DATA"), 3u);
}

// After an attempt timed out, a register read fences off whatever the chip may still say about
// it: the next attempt, and the next block, are paired with their own answers.
TEST_F(Loader, AFenceFollowsATimedOutAttempt) {
    using tavisk::sim::SimRomFaults;
    const std::string data0 = "FLASH_DATA seq=0 size=1024";
    const std::string fence = "READ_REG 0x40001000";
    const struct {
        const char* name;
        std::function<void(SimRomFaults&)> fault;
        LoaderResult result;
        std::vector<std::string> lines; // from the first attempt on
        std::chrono::milliseconds elapsed;
    } cases[] = {
        {"late answer, taken behind the fence",
         [](SimRomFaults& f) {
             f.lateAnswers = {{FLASH_DATA, 0, 1, 1500ms}};
         },
         LOADER_OK,
         {data0, fence},
         1500ms},
        {"lost answer, block sent again with its number",
         [](SimRomFaults& f) {
             f.silentOpcode = FLASH_DATA;
             f.silents = 1;
         },
         LOADER_OK,
         {data0, fence, data0},
         1000ms},
        {"late refusal, block sent again",
         [](SimRomFaults& f) {
             f.lateAnswers = {{FLASH_DATA, 0, 1, 1500ms}};
             f.errorOpcode = FLASH_DATA;
             f.errors = 1;
         },
         LOADER_OK,
         {data0, fence, data0},
         1500ms},
        // The first fence times out (an attempt), the second waits for both answers.
        {"lost answer, fence later than its deadline",
         [](SimRomFaults& f) {
             f.silentOpcode = FLASH_DATA;
             f.silents = 1;
             f.lateAnswers = {{READ_REG, 0, 1, 4000ms}};
         },
         LOADER_OK,
         {data0, fence, fence, data0},
         5000ms},
        // Either fence since the block serves: the second one is not kept waiting for the first.
        {"lost answer, fence answer lost too",
         [](SimRomFaults& f) {
             f.lostAnswers = {{FLASH_DATA, 0, 1}, {READ_REG, 0, 1}};
         },
         LOADER_OK,
         {data0, fence, fence, data0},
         4000ms},
        {"lost answer, fence answer garbled",
         [](SimRomFaults& f) {
             f.lostAnswers = {{FLASH_DATA, 0, 1}, {READ_REG, 0, 1, true}};
         },
         LOADER_OK,
         {data0, fence, fence, data0},
         1000ms},
        // Both fence answers are still due when the block is done; the next block's answer comes
        // behind them, after its deadline, and its fence counts them out.
        {"late answer, fence answers later than the next block's deadline",
         [](SimRomFaults& f) {
             f.lateAnswers = {{FLASH_DATA, 0, 1, 2500ms}, {READ_REG, 0, 1, 7500ms}};
         },
         LOADER_OK,
         {data0, fence, fence},
         7000ms},
        {"lost answer, no fence answered",
         [](SimRomFaults& f) {
             f.silentOpcode = FLASH_DATA;
             f.silents = 1;
             f.lateAnswers = {{READ_REG, 0, 2, 60000ms}};
         },
         LOADER_TIMEOUT,
         {data0, fence, fence},
         7000ms},
    };
    for (const auto& c : cases) {
        SimRomLoader model;
        FakeLoaderPort fresh;
        fresh.attach(&model);
        ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
        ASSERT_EQ(esp_loader_flash_start(0, 4096, 1024), LOADER_OK);
        const std::size_t mark = model.commands().size();
        c.fault(model.faults());
        std::vector<std::uint8_t> block(1024, 0x5A);
        const auto before = fresh.now();
        EXPECT_EQ(esp_loader_flash_write(block.data(), 1024), c.result) << c.name;
        EXPECT_EQ(fresh.now() - before, c.elapsed) << c.name;
        const auto all = model.transcriptLines();
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end()),
                  c.lines)
            << c.name;
        if (c.result != LOADER_OK)
            continue;
        // The next block goes out with the next number and gets its own answer.
        model.faults() = {};
        model.faults().errorOpcode = FLASH_DATA;
        model.faults().errors = 3;
        EXPECT_EQ(esp_loader_flash_write(block.data(), 1024), LOADER_BAD_RESPONSE) << c.name;
        EXPECT_EQ(model.transcriptLines().back(), "FLASH_DATA seq=1 size=1024") << c.name;
        EXPECT_EQ(std::vector<std::uint8_t>(model.flash().begin(), model.flash().begin() + 1024), block)
            << c.name;
    }
}

TEST_F(Loader, LateAnswerIsNotTakenForTheNextBlock) {
    ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
    ASSERT_EQ(esp_loader_flash_start(0, 4096, 1024), LOADER_OK);
    std::vector<std::uint8_t> block(1024, 1);
    // The first block's answer comes after its deadline; the retry is answered in time.
    rom.faults().lateAnswers = {{FLASH_DATA, 0, 1, 1500ms}};
    EXPECT_EQ(esp_loader_flash_write(block.data(), 1024), LOADER_OK);
    // The chip never answers the second block: the late answer must not pass for it.
    rom.faults().silentOpcode = FLASH_DATA;
    rom.faults().silents = 3;
    EXPECT_EQ(esp_loader_flash_write(block.data(), 1024), LOADER_TIMEOUT);
}

TEST_F(Loader, FinishAsksToStayOrToReboot) {
    ASSERT_EQ(esp_loader_connect(&kArgs), LOADER_OK);
    EXPECT_EQ(esp_loader_flash_finish(false), LOADER_OK);
    EXPECT_EQ(rom.flashEndFlag(), 1);
    EXPECT_EQ(esp_loader_flash_finish(true), LOADER_OK);
    EXPECT_EQ(rom.flashEndFlag(), 0);
}
} // namespace
