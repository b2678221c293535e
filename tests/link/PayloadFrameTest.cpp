#include "link/PayloadFrame.h"
#include "link/FastCrc8.h"
#include "link/PayloadHandler.h"
#include "link/PayloadParser.h"
#include "tests/link/EngineTestSupport.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace tavisk::test;

namespace {

Bytes ascii(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

const Bytes kSearch{0x7E, 0x02, 0x01, 0xFF, 0x01, 0x74};

struct CrcCase {
    const char* name;
    Bytes data;
    std::uint8_t crc;
    friend void PrintTo(const CrcCase& c, std::ostream* os) { *os << c.name; }
};

class Crc8Check : public testing::TestWithParam<CrcCase> {};

TEST_P(Crc8Check, MatchesKnownValue) {
    const CrcCase& c = GetParam();
    EXPECT_EQ(FastCrc8::update(0, c.data.data(), c.data.size()), c.crc);
    EXPECT_EQ(referenceCrc8(c.data), c.crc);
}

INSTANTIATE_TEST_SUITE_P(
    KnownValues, Crc8Check,
    testing::Values(CrcCase{"check", ascii("123456789"), 0xA1}, CrcCase{"abc", ascii("abc"), 0x42},
                    CrcCase{"empty", {}, 0x00}, CrcCase{"search", {0x01, 0xFF, 0x01}, 0x74},
                    CrcCase{"espEntry", {0x00, 0x02, 0x03, 0x02, 0x08, 0x01, 0x00, 0x00, 0x00}, 0x1E},
                    // Erase request of a transfer to device 5, file 0, with pack number 3.
                    CrcCase{"eraseWrite", {0x03, 0x05, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00}, 0xAD}),
    [](const testing::TestParamInfo<CrcCase>& info) { return std::string(info.param.name); });

TEST(Crc8, TableEntriesAreTheCrcOfSingleBytes) {
    const std::uint8_t first[] = {0x00, 0x5E, 0xBC, 0xE2, 0x61, 0x3F, 0xDD, 0x83};
    for (unsigned i = 0; i < 256; ++i) {
        const std::uint8_t byte = static_cast<std::uint8_t>(i);
        const std::uint8_t crc = FastCrc8::update(0, &byte, 1);
        EXPECT_EQ(crc, referenceCrc8({byte})) << "byte " << i;
        if (i < 8) {
            EXPECT_EQ(crc, first[i]) << "byte " << i;
        }
    }
    const std::uint8_t last = 0xFF;
    EXPECT_EQ(FastCrc8::update(0, &last, 1), 0x35);
}

TEST(Crc8, IncrementalEqualsOneShotAtEverySplit) {
    std::mt19937 random(7);
    Bytes data(300);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(random());
    const std::uint8_t whole = FastCrc8::update(0, data.data(), data.size());
    EXPECT_EQ(whole, referenceCrc8(data));
    for (std::size_t split = 0; split <= data.size(); ++split) {
        const std::uint8_t head = FastCrc8::update(0, data.data(), split);
        ASSERT_EQ(FastCrc8::update(head, data.data() + split, data.size() - split), whole)
            << "split " << split;
    }
}

TEST(PayloadFrame, BuildsReferenceFramesAndRefusesBadLengths) {
    std::uint8_t out[PayloadFrame::kMaxFrame];
    const std::uint8_t search[] = {0x01, 0xFF, 0x01};
    ASSERT_EQ(PayloadFrame::build(search, 3, out), 6u);
    EXPECT_EQ(Bytes(out, out + 6), kSearch);

    const Bytes esp{0x00, 0x02, 0x03, 0x02, 0x08, 0x01, 0x00, 0x00, 0x00};
    ASSERT_EQ(PayloadFrame::build(esp.data(), esp.size(), out), 12u);
    EXPECT_EQ(Bytes(out, out + 12),
              (Bytes{0x7E, 0x08, 0x00, 0x02, 0x03, 0x02, 0x08, 0x01, 0x00, 0x00, 0x00, 0x1E}));

    Bytes longest(255, 0xAB);
    ASSERT_EQ(PayloadFrame::build(longest.data(), longest.size(), out), 258u);
    EXPECT_EQ(out[1], 0xFE);

    for (std::size_t bad : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{256}})
        EXPECT_EQ(PayloadFrame::build(longest.data(), bad, out), 0u) << bad;
}

TEST(CastCommand, QueuesTheFrameAndRemembersItsCommand) {
    LogCapture capture;
    PayloadHandler engine;
    const std::uint8_t search[] = {0x01, 0xFF, 0x01};
    engine.castCommand(search, 3, 3000);
    const auto frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, kSearch);
    EXPECT_EQ(frames[0].timeoutMs, 3000u);
    EXPECT_EQ(engine.getLastCommand(), 1);
}

TEST(CastCommand, RefusesPayloadsShorterThanThreeBytes) {
    LogCapture capture;
    PayloadHandler engine;
    const std::uint8_t previous[] = {0x01, 0xFF, 0x05, 0x00};
    engine.castCommand(previous, 4, 500);
    drain(engine);
    // The guard must hold before anything is read: the buffer holds exactly `length` bytes.
    for (unsigned char length = 0; length < 3; ++length) {
        std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[length == 0 ? 1 : length]());
        engine.castCommand(exact.get(), length, 500);
    }
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_EQ(engine.getLastCommand(), 5) << "a refused payload leaves the last command";
    EXPECT_EQ(capture.count("cannot be framed", BaseLogger::ERROR), 3u);
}

// --- frame reader --------------------------------------------------------------------------

struct ParserRun {
    std::vector<Bytes> payloads;
    std::size_t errors = 0;
    std::size_t warnings = 0;
    PayloadParser::ParserState state = PayloadParser::WAIT_START;
};

ParserRun runParser(const std::vector<Bytes>& calls) {
    LogCapture capture;
    ParserRun run;
    PayloadParser parser(
        [&](const std::uint8_t* p, std::size_t n) { run.payloads.push_back(Bytes(p, p + n)); });
    std::uint64_t handed = 0;
    for (const Bytes& call : calls)
        handed += parser.update(call.data(), call.size());
    EXPECT_EQ(handed, run.payloads.size());
    run.errors = capture.count("received message with wrong CRC", BaseLogger::ERROR);
    run.warnings = capture.count("received message is not Payload type", BaseLogger::WARNING);
    run.state = parser.getState();
    return run;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A payload that holds 0x7E and whose CRC is 0x7E too.
Bytes payloadWithStartBytes() {
    for (unsigned x = 0; x < 256; ++x) {
        Bytes p{0x7E, 0x01, 0x7E, static_cast<std::uint8_t>(x)};
        if (referenceCrc8(p) == 0x7E)
            return p;
    }
    ADD_FAILURE() << "no such payload";
    return {};
}

struct ParserCase {
    const char* name;
    std::vector<Bytes> calls;
    std::vector<Bytes> payloads;
    std::size_t errors;
    std::size_t warnings;
    friend void PrintTo(const ParserCase& c, std::ostream* os) { *os << c.name; }
};

class FrameReader : public testing::TestWithParam<ParserCase> {};

TEST_P(FrameReader, DeliversPayloadsAndLogs) {
    const ParserCase& c = GetParam();
    const ParserRun run = runParser(c.calls);
    EXPECT_EQ(run.payloads, c.payloads);
    EXPECT_EQ(run.errors, c.errors);
    EXPECT_EQ(run.warnings, c.warnings);
}

const Bytes kA{0x01, 0xFF, 0x01};
const Bytes kB{0x02, 0x05, 0x00, 0x10, 0x20};
Bytes badCrc(const Bytes& payload) {
    Bytes f = frameOf(payload);
    f.back() ^= 0x5A;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameReader,
    testing::Values(
        ParserCase{"oneFrame", {kSearch}, {kA}, 0, 0},
        ParserCase{"backToBack", {join({frameOf(kA), frameOf(kB)})}, {kA, kB}, 0, 0},
        ParserCase{"trailingNoise", {join({frameOf(kA), {0x00}})}, {kA}, 0, 1},
        ParserCase{"noFrame", {{0x00, 0x11, 0x22}}, {}, 0, 1},
        ParserCase{"noiseBeforeAndBetween",
                   {join({{0x00, 0x11}, frameOf(kA), {0x33}, frameOf(kB)})},
                   {kA, kB},
                   0,
                   0},
        ParserCase{"badCrcThenGood", {join({badCrc(kB), frameOf(kA)})}, {kA}, 1, 0},
        ParserCase{"badLengthByte", {{0x7E, 0xFF, 0x7E, 0x02, 0x01, 0xFF, 0x01, 0x74}}, {kA}, 0, 0},
        ParserCase{"longestPayload", {frameOf(Bytes(255, 0x7E))}, {Bytes(255, 0x7E)}, 0, 0},
        ParserCase{"startBytesInPayloadAndCrc",
                   {join({frameOf(payloadWithStartBytes()), frameOf(kA)})},
                   {payloadWithStartBytes(), kA},
                   0,
                   0},
        ParserCase{"callEndsOnStartByte", {{0x00, 0x7E}, {0x02, 0x01, 0xFF, 0x01, 0x74}}, {kA}, 0, 0},
        ParserCase{"emptyCallInsideFrame", {{0x7E, 0x02}, {}, {0x01, 0xFF, 0x01, 0x74}}, {kA}, 0, 0},
        // A stray start byte swallows what follows as a frame; its CRC then fails.
        ParserCase{"strayStartByte", {join({{0x7E, 0x01, 0x55, 0x66, 0x77}, frameOf(kA)})}, {kA}, 1, 0}),
    [](const testing::TestParamInfo<ParserCase>& info) { return std::string(info.param.name); });

TEST(FrameReaderSplit, FrameSplitAtEveryOffsetGivesOnePayloadOnTheSecondCall) {
    const Bytes stream = join({frameOf(kB), frameOf(kA)});
    for (std::size_t split = 1; split < stream.size(); ++split) {
        const ParserRun run = runParser(
            {Bytes(stream.begin(), stream.begin() + split), Bytes(stream.begin() + split, stream.end())});
        EXPECT_EQ(run.payloads, (std::vector<Bytes>{kB, kA})) << "split " << split;
        EXPECT_EQ(run.errors, 0u) << "split " << split;
        // Only a first call that ends between the two frames ends outside a frame.
        EXPECT_EQ(run.warnings, 0u) << "split " << split;
    }
}

TEST(FrameReaderSplit, EmptyCallLeavesStateAndLogsNothing) {
    LogCapture capture;
    PayloadParser parser([](const std::uint8_t*, std::size_t) {});
    EXPECT_EQ(parser.update(nullptr, 0), 0u);
    const Bytes start{0x7E};
    parser.update(start.data(), 1);
    EXPECT_EQ(parser.getState(), PayloadParser::READ_LENGTH);
    EXPECT_EQ(parser.update(nullptr, 0), 0u);
    EXPECT_EQ(parser.getState(), PayloadParser::READ_LENGTH);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(FrameReaderSplit, RandomPayloadsSurviveRandomSlicing) {
    LogCapture capture;
    std::mt19937 random(2024);
    std::vector<Bytes> sent;
    Bytes stream;
    for (int i = 0; i < 400; ++i) {
        Bytes payload(1 + random() % 255);
        for (auto& b : payload)
            b = static_cast<std::uint8_t>(random() % 4 == 0 ? 0x7E : random());
        sent.push_back(payload);
        const Bytes f = frameOf(payload);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    std::vector<Bytes> received;
    PayloadParser parser([&](const std::uint8_t* p, std::size_t n) { received.push_back(Bytes(p, p + n)); });
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min<std::size_t>(1 + random() % 300, stream.size() - at);
        parser.update(stream.data() + at, n);
        at += n;
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(capture.count("wrong CRC"), 0u);
}

TEST(EngineUpdate, HandsEachGoodFrameToTheAnswerProcessing) {
    LogCapture capture;
    PayloadHandler engine;
    // No request is pending, so each processed answer is reported as unexpected.
    const Bytes stream = join({frameOf({0x09, 0x05, 0x00}), badCrc(kB), frameOf({0x0A, 0x06, 0x00})});
    EXPECT_EQ(engine.update(stream.data(), stream.size()), 2u);
    EXPECT_EQ(
        capture.count("received unexpected message (device 5, message 0, pack #9)", BaseLogger::WARNING), 1u);
    EXPECT_EQ(
        capture.count("received unexpected message (device 6, message 0, pack #10)", BaseLogger::WARNING),
        1u);
    EXPECT_EQ(capture.count("received message with wrong CRC", BaseLogger::ERROR), 1u);
}

} // namespace
