#include "espflash/loader_port.h"
#include "espflash/protocol_serial.h"
#include "espflash/slip.h"
#include "tests/espflash/FakeLoaderPort.h"
#include "tests/espflash/LoaderTestSupport.h"

#include <gtest/gtest.h>

namespace {
using namespace tavisk::test;
using namespace std::chrono_literals;

class Protocol : public ::testing::Test {
protected:
    void SetUp() override { port.startTimer(1000); }
    FakeLoaderPort port;
};

TEST_F(Protocol, SlipSendWritesEachRunAndReplacementOnce) {
    const Bytes data{0xC0, 0xDB, 1, 2, 0xC0};
    ASSERT_EQ(SLIP_send(data.data(), static_cast<std::uint32_t>(data.size())), LOADER_OK);
    const std::vector<Bytes> expected{{0xDB, 0xDC}, {0xDB, 0xDD}, {1, 2}, {0xDB, 0xDC}};
    EXPECT_EQ(port.writes, expected);
    port.writes.clear();
    EXPECT_EQ(SLIP_send(data.data(), 0), LOADER_OK);
    EXPECT_TRUE(port.writes.empty());
}

TEST_F(Protocol, ReceiveSkipsNoiseAndReportsBadEscapesAndTimeouts) {
    port.script({0x11, 0xC0, 0xC0, 0xDB, 0xDC, 2, 0xC0});
    std::uint8_t buffer[8];
    std::uint32_t length = 0;
    ASSERT_EQ(SLIP_receive_packet(buffer, sizeof buffer, &length), LOADER_OK);
    EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{0xC0, 2}));

    port.script({0xC0, 1, 0xDB, 0x41, 0xC0});
    EXPECT_EQ(SLIP_receive_packet(buffer, sizeof buffer, &length), LOADER_BAD_RESPONSE);

    port.script({0xC0, 1, 2}); // never closed
    EXPECT_EQ(SLIP_receive_packet(buffer, sizeof buffer, &length), LOADER_TIMEOUT);
    EXPECT_EQ(port.remaining(), 0u);
}

TEST(Checksum, XorOfTheBlockStartingAtEF) {
    const struct {
        Bytes block;
        std::uint8_t sum;
    } cases[] = {{{}, 0xEF}, {{0x01, 0x02, 0x03}, 0xEF}, {{0xEF}, 0x00}, {{0x10}, 0xFF}};
    for (const auto& c : cases)
        EXPECT_EQ(loader_compute_checksum(c.block.data(), c.block.size()), c.sum);
}

TEST(ErrorText, NamesEveryErrorByte) {
    const struct {
        std::uint8_t code;
        const char* text;
    } cases[] = {{0x05, "Error: INVALID_COMMAND"},   {0x06, "Error: COMMAND_FAILED"},
                 {0x07, "Error: INVALID_CRC"},       {0x08, "Error: FLASH_WRITE_ERR"},
                 {0x09, "Error: FLASH_READ_ERR"},    {0x0A, "Error: READ_LENGTH_ERR"},
                 {0x0B, "Error: DEFLATE_ERROR"},     {0xC0, "Error: BAD_DATA_LEN"},
                 {0xC1, "Error: BAD_DATA_CHECKSUM"}, {0xC2, "Error: BAD_BLOCKSIZE"},
                 {0xC3, "Error: INVALID_COMMAND"},   {0xC4, "Error: FAILED_SPI_OP"},
                 {0xC5, "Error: FAILED_SPI_UNLOCK"}, {0xC6, "Error: NOT_IN_FLASH_MODE"},
                 {0xC7, "Error: INFLATE_ERROR"},     {0xC8, "Error: NOT_ENOUGH_DATA"},
                 {0xC9, "Error: TOO_MUCH_DATA"},     {0xFF, "Error: CMD_NOT_IMPLEMENTED"},
                 {0x00, "Error: UNKNOWN ERROR"},     {0x04, "Error: UNKNOWN ERROR"},
                 {0x0C, "Error: UNKNOWN ERROR"},     {0xBF, "Error: UNKNOWN ERROR"},
                 {0xCA, "Error: UNKNOWN ERROR"},     {0xFE, "Error: UNKNOWN ERROR"}};
    for (const auto& c : cases)
        EXPECT_STREQ(loader_error_text(c.code), c.text) << int(c.code);
}

// Answers to READ_REG in the forms a chip may send, and what the command makes of them.
TEST_F(Protocol, ReadRegisterResponses) {
    const struct {
        const char* name;
        Bytes wire;
        LoaderResult result;
        std::uint32_t value;
        const char* debug;
    } cases[] = {
        {"four status bytes", slipFrame(responsePacket(0x0A, 0x12345678, {}, {0, 0, 0, 0})), LOADER_OK,
         0x12345678, nullptr},
        {"two status bytes", slipFrame(responsePacket(0x0A, 0xC0DB0001, {}, {0, 0})), LOADER_OK, 0xC0DB0001,
         nullptr},
        {"failure status", slipFrame(responsePacket(0x0A, 0, {}, {1, 0x07, 0, 0})), LOADER_BAD_RESPONSE, 0,
         "Error: INVALID_CRC"},
        {"other opcode and request direction first",
         [] {
             Bytes w = slipFrame(responsePacket(0x09, 1, {}, {0, 0}));
             const Bytes d = slipFrame(responsePacket(0x0A, 2, {}, {0, 0}, 0x00));
             const Bytes r = slipFrame(responsePacket(0x0A, 3, {}, {0, 0}));
             w.insert(w.end(), d.begin(), d.end());
             w.insert(w.end(), r.begin(), r.end());
             return w;
         }(),
         LOADER_OK, 3, nullptr},
        {"too short, then none", slipFrame({0x01, 0x0A, 0, 0, 0}), LOADER_TIMEOUT, 0, nullptr},
    };
    for (const auto& c : cases) {
        FakeLoaderPort fresh;
        fresh.script(c.wire);
        fresh.startTimer(1000);
        std::uint32_t value = 0;
        EXPECT_EQ(loader_read_reg_cmd(0x40001000, &value), c.result) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
        if (c.debug != nullptr)
            EXPECT_EQ(fresh.debugLines, std::vector<std::string>{c.debug}) << c.name;
        else
            EXPECT_TRUE(fresh.debugLines.empty()) << c.name;
        EXPECT_EQ(fresh.wire(), slipFrame({0x00, 0x0A, 4, 0, 0, 0, 0, 0, 0x00, 0x10, 0x00, 0x40})) << c.name;
    }
}

TEST_F(Protocol, SecurityInfoLengthsAndCut) {
    const struct {
        const char* name;
        Bytes data;
        Bytes status;
        std::uint32_t length;
    } cases[] = {
        {"20 bytes, four status bytes: cut to the first two", Bytes(20, 0x33), {0, 0, 0, 0}, 20},
        {"12 bytes, four status bytes: two of them count as data", Bytes(12, 0x33), {0, 0, 0, 0}, 14},
        {"12 bytes, two status bytes", Bytes(12, 0x33), {0, 0}, 12},
    };
    for (const auto& c : cases) {
        FakeLoaderPort fresh;
        fresh.script(slipFrame(responsePacket(0x14, 0, c.data, c.status)));
        fresh.startTimer(100);
        std::uint8_t buffer[20] = {};
        std::uint32_t length = 0;
        EXPECT_EQ(loader_get_security_info_cmd(buffer, &length), LOADER_OK) << c.name;
        EXPECT_EQ(length, c.length) << c.name;
    }
}

TEST_F(Protocol, SyncNeedsEightAnswersWithinItsDeadline) {
    const Bytes answer = slipFrame(responsePacket(0x08, 0, {}, {0, 0}));
    for (int i = 0; i < 7; ++i)
        port.script(answer, port.now() + 10ms * i);
    EXPECT_EQ(loader_sync_cmd(), LOADER_TIMEOUT);
    EXPECT_EQ(port.now(), 1000ms);

    FakeLoaderPort again;
    for (int i = 0; i < 8; ++i)
        again.script(answer, 10ms * i);
    again.startTimer(100);
    EXPECT_EQ(loader_sync_cmd(), LOADER_OK);
    Bytes packet{0x00, 0x08, 36, 0, 0, 0, 0, 0, 0x07, 0x07, 0x12, 0x20};
    packet.resize(44, 0x55);
    EXPECT_EQ(again.wire(), slipFrame(packet));
}

TEST_F(Protocol, WriteFailureEndsTheCommand) {
    port.failWritesAfter(1);
    std::uint32_t value = 0;
    EXPECT_EQ(loader_read_reg_cmd(0, &value), LOADER_FAIL);
    EXPECT_EQ(port.writes.size(), 1u);
}

// Data packets: the header, words, checksum and the number that each block carries.
TEST_F(Protocol, DataPacketsCarrySequenceNumbersThatARetryKeeps) {
    const Bytes ok = slipFrame(responsePacket(0x03, 0, {}, {0, 0}));
    const Bytes bad = slipFrame(responsePacket(0x03, 0, {}, {1, 0xC1}));
    port.script(slipFrame(responsePacket(0x02, 0, {}, {0, 0})));
    ASSERT_EQ(loader_flash_begin_cmd(0, 16, 4, 4, false), LOADER_OK);
    const Bytes block{1, 2, 3, 0xC0};
    std::vector<std::uint32_t> numbers;
    for (const Bytes* answer : {&ok, &bad, &ok, &ok}) {
        port.writes.clear();
        port.script(*answer);
        port.startTimer(1000);
        loader_flash_data_cmd(block.data(), 4);
        const Bytes w = port.wire();
        // After the delimiter: header (8), then size and sequence words.
        numbers.push_back(w[13] | w[14] << 8);
        EXPECT_EQ(w[5], 0xEF ^ 1 ^ 2 ^ 3 ^ 0xC0);
    }
    EXPECT_EQ(numbers, (std::vector<std::uint32_t>{0, 1, 1, 2}));
    EXPECT_EQ(loader_sequence_number(), 3u);
}

TEST_F(Protocol, DataPacketsThatOverflowTheSizeFieldAreRefused) {
    const Bytes block(0xFFFF, 0);
    EXPECT_EQ(loader_flash_data_cmd(block.data(), 0xFFFF - 15), LOADER_BAD_PARAM);
    EXPECT_TRUE(port.writes.empty());
}

TEST_F(Protocol, FlashBeginTakesTheFifthWordWhenAsked) {
    for (bool encryption : {false, true}) {
        FakeLoaderPort fresh;
        fresh.startTimer(1000);
        loader_flash_begin_cmd(0x1000, 0x2000, 0x400, 8, encryption);
        Bytes packet{0x00, 0x02, static_cast<std::uint8_t>(encryption ? 20 : 16), 0, 0, 0, 0, 0};
        for (std::uint32_t v : {0x2000u, 8u, 0x400u, 0x1000u}) {
            const Bytes w = le32(v);
            packet.insert(packet.end(), w.begin(), w.end());
        }
        if (encryption)
            packet.resize(packet.size() + 4, 0);
        EXPECT_EQ(fresh.wire(), slipFrame(packet));
    }
}

TEST(Md5Answer, DigestFromHexTextOrRawBytes) {
    const Bytes digest{0x00, 0x01, 0x7F, 0x80, 0xA5, 0xC0, 0xDB, 0xFF,
                       0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    const auto text = [](const std::string& t) { return Bytes(t.begin(), t.end()); };
    const struct {
        const char* name;
        Bytes data;
        bool fromStub;
        bool ok;
    } cases[] = {
        {"hex text from the ROM", text("00017f80a5c0dbff1032547698badcfe"), false, true},
        {"upper-case hex", text("00017F80A5C0DBFF1032547698BADCFE"), false, true},
        {"a character that is no digit", text("00017f80a5c0dbff1032547698badcfg"), false, false},
        {"hex text one short", text("00017f80a5c0dbff1032547698badcf"), false, false},
        {"raw bytes where text is due", digest, false, false},
        {"raw bytes from the stub", digest, true, true},
        {"15 raw bytes", Bytes(digest.begin(), digest.end() - 1), true, false},
        {"hex text where raw bytes are due", text("00017f80a5c0dbff1032547698badcfe"), true, false},
    };
    for (const auto& c : cases) {
        std::uint8_t out[16] = {};
        EXPECT_EQ(
            loader_md5_digest(c.data.data(), static_cast<std::uint32_t>(c.data.size()), c.fromStub, out),
            c.ok)
            << c.name;
        EXPECT_EQ(Bytes(out, out + 16), c.ok ? digest : Bytes(16, 0)) << c.name;
    }
}

TEST(Md5Answer, DeadlineGrowsWithTheSize) {
    const struct {
        std::uint32_t size;
        std::uint32_t ms;
    } cases[] = {
        {0, 3000},
        {1, 3001},                        // a started part of a MiB counts
        {1024 * 1024, 11000},             // 8 s per MiB
        {1803184, 3000 + 13758},          // 1.72 MiB
        {0xFFFFFFFF, 3000 + 4096 * 8000}, // no overflow at the largest size
    };
    for (const auto& c : cases)
        EXPECT_EQ(loader_md5_timeout(c.size), c.ms) << c.size;
}

// Leaves `earlier` fences unanswered before a data command that timed out, and `since` after it;
// an answered command first, so that nothing else is due.
void leaveFencesDue(FakeLoaderPort& port, std::uint32_t earlier, std::uint32_t since) {
    port.script(slipFrame(responsePacket(0x04, 0, {}, {0, 0})));
    port.startTimer(1000);
    ASSERT_EQ(loader_flash_end_cmd(true), LOADER_OK);
    port.startTimer(0); // nothing comes in time
    loader_fence fence;
    for (std::uint32_t i = 0; i < earlier; ++i)
        ASSERT_EQ(loader_fence_cmd(0x40001000, 0x03, &fence), LOADER_TIMEOUT);
    std::uint8_t block[4] = {};
    ASSERT_EQ(loader_flash_data_cmd(block, sizeof block), LOADER_TIMEOUT);
    for (std::uint32_t i = 0; i < since; ++i)
        ASSERT_EQ(loader_fence_cmd(0x40001000, 0x03, &fence), LOADER_TIMEOUT);
    ASSERT_EQ(loader_fence_answers_due(), earlier + since);
    port.writes.clear();
}

// The fence: one register read, then every frame until the answer of a fence sent since the data
// command. The answers of fences from before that command, still due, come first and are counted
// out; any fence sent since serves.
TEST_F(Protocol, FenceTakesEverythingUpToTheAnswerOfAFenceSinceTheDataCommand) {
    const Bytes dataOk = slipFrame(responsePacket(0x03, 0, {}, {0, 0, 0, 0}));
    const Bytes dataRefused = slipFrame(responsePacket(0x03, 0, {}, {1, 0xC1, 0, 0}));
    const Bytes fenceAnswer = slipFrame(responsePacket(0x0A, 0x00F01D83, {}, {0, 0, 0, 0}));
    const Bytes otherOpcode = slipFrame(responsePacket(0x04, 0, {}, {0, 0}));
    const Bytes requestDirection = slipFrame(responsePacket(0x0A, 0, {}, {0, 0}, 0x00));
    const auto join = [](std::initializer_list<Bytes> frames) {
        Bytes w;
        for (const Bytes& f : frames)
            w.insert(w.end(), f.begin(), f.end());
        return w;
    };
    const struct {
        const char* name;
        std::uint32_t earlier; // fences due from before the data command
        std::uint32_t since;   // fences sent since, unanswered
        Bytes wire;
        LoaderResult result;
        std::uint32_t dueAfter;
        bool accepted;
        std::vector<std::string> debug;
    } cases[] = {
        {"late success", 0, 0, join({dataOk, fenceAnswer}), LOADER_OK, 0, true, {}},
        {"late refusal",
         0,
         0,
         join({dataRefused, fenceAnswer}),
         LOADER_OK,
         0,
         false,
         {"Error: BAD_DATA_CHECKSUM"}},
        {"nothing late", 0, 0, fenceAnswer, LOADER_OK, 0, false, {}},
        {"frames that answer nothing of ours",
         0,
         0,
         join({otherOpcode, requestDirection, fenceAnswer}),
         LOADER_OK,
         0,
         false,
         {}},
        {"an earlier fence still due",
         1,
         0,
         join({fenceAnswer, dataOk, fenceAnswer}),
         LOADER_OK,
         0,
         true,
         {}},
        {"an earlier fence due, one answer only",
         1,
         0,
         join({dataOk, fenceAnswer}),
         LOADER_TIMEOUT,
         1,
         true,
         {}},
        {"a fence since the data command that timed out: either answer serves",
         0,
         1,
         fenceAnswer,
         LOADER_OK,
         1,
         false,
         {}},
        {"both kinds due", 1, 1, join({fenceAnswer, dataOk, fenceAnswer}), LOADER_OK, 1, true, {}},
        {"both kinds due, one answer only", 1, 1, join({dataOk, fenceAnswer}), LOADER_TIMEOUT, 2, true, {}},
        {"a data answer after the fence's is not ours to take",
         0,
         0,
         join({fenceAnswer, dataOk}),
         LOADER_OK,
         0,
         false,
         {}},
    };
    for (const auto& c : cases) {
        FakeLoaderPort fresh;
        leaveFencesDue(fresh, c.earlier, c.since);
        fresh.script(c.wire);
        fresh.startTimer(3000);
        loader_fence fence;
        const std::uint32_t sequence = loader_sequence_number();
        EXPECT_EQ(loader_fence_cmd(0x40001000, 0x03, &fence), c.result) << c.name;
        EXPECT_EQ(loader_fence_answers_due(), c.dueAfter) << c.name;
        EXPECT_EQ(fence.accepted, c.accepted) << c.name;
        EXPECT_EQ(loader_sequence_number(), sequence + (c.accepted ? 1 : 0)) << c.name;
        EXPECT_EQ(fresh.debugLines, c.debug) << c.name;
        EXPECT_EQ(fresh.wire(), slipFrame({0x00, 0x0A, 4, 0, 0, 0, 0, 0, 0x00, 0x10, 0x00, 0x40})) << c.name;
    }
}

// A fence answer still due is no command's answer, not even a register read's; any other answer
// shows that those still missing were lost.
TEST_F(Protocol, FenceAnswersStillDueAreCountedOut) {
    const Bytes fenceAnswer = slipFrame(responsePacket(0x0A, 0x00F01D83, {}, {0, 0, 0, 0}));
    const Bytes readAnswer = slipFrame(responsePacket(0x0A, 0x12345678, {}, {0, 0, 0, 0}));
    leaveFencesDue(port, 1, 0);
    port.script(fenceAnswer);
    port.script(readAnswer);
    port.startTimer(1000);
    std::uint32_t value = 0;
    EXPECT_EQ(loader_read_reg_cmd(0x3FF5A014, &value), LOADER_OK);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(loader_fence_answers_due(), 0u);

    leaveFencesDue(port, 1, 1);
    port.script(fenceAnswer);
    port.script(slipFrame(responsePacket(0x04, 0, {}, {0, 0})));
    port.startTimer(1000);
    EXPECT_EQ(loader_flash_end_cmd(true), LOADER_OK);
    EXPECT_EQ(loader_fence_answers_due(), 0u);
    port.script(readAnswer);
    port.startTimer(1000);
    EXPECT_EQ(loader_read_reg_cmd(0x3FF5A014, &value), LOADER_OK);
    EXPECT_EQ(value, 0x12345678u);
}

TEST_F(Protocol, FenceAdvancesTheSequenceOnceForTheBlock) {
    const Bytes dataOk = slipFrame(responsePacket(0x03, 0, {}, {0, 0}));
    const Bytes fenceAnswer = slipFrame(responsePacket(0x0A, 0, {}, {0, 0}));
    loader_fence fence;
    const std::uint32_t sequence = loader_sequence_number();
    for (int i = 0; i < 2; ++i) {
        port.script(dataOk);
        port.script(fenceAnswer);
        port.startTimer(3000);
        EXPECT_EQ(loader_fence_cmd(0x40001000, 0x03, &fence), LOADER_OK);
    }
    EXPECT_TRUE(fence.accepted);
    EXPECT_EQ(loader_sequence_number(), sequence + 1);
}
} // namespace
