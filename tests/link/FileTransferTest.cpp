#include "link/PayloadHandler.h"
#include "tests/link/EngineTestSupport.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tavisk::test;

namespace {

// One file-write request as the device sees it.
struct WriteRequest {
    std::uint32_t offset = 0;
    Bytes data;
    std::uint32_t timeoutMs = 0;
    std::uint8_t percent = 0; // announced with it
};

WriteRequest parse(const SentFrame& frame, std::uint8_t percent) {
    const Bytes p = frame.payload();
    WriteRequest r;
    EXPECT_GE(p.size(), 8u);
    EXPECT_EQ(p[1], 5);
    EXPECT_EQ(p[2], 8);
    EXPECT_EQ(p[3], 0);
    r.offset = p[4] | p[5] << 8 | p[6] << 16 | static_cast<std::uint32_t>(p[7]) << 24;
    r.data.assign(p.begin() + 8, p.end());
    r.timeoutMs = frame.timeoutMs;
    r.percent = percent;
    return r;
}

class FileTransfer : public testing::Test {
protected:
    LogCapture capture;
    RegistryHooks& hooks = RegistryHooks::install();
    PayloadHandler engine;
    std::vector<std::uint8_t> announced; // transferPercent at each UPDATE_LOADING_STATUS

    FileTransfer() {
        addDevice(engine, 5, 1, {{0, "erase"}});
        hooks.onLoadingStatus = [this] { announced.push_back(engine.transferPercent); };
    }

    void start(const TempFile& file) {
        FileRequest request{5, 0, file.path(), nullptr};
        engine.onMessage(MSG_FIRMWARE_WRITE, &request);
        engine.generateResponse(MSG_FILE_WRITE, nullptr);
    }
    // The request now queued (exactly one), with the percentage announced for it.
    WriteRequest take() {
        const auto frames = drain(engine);
        EXPECT_EQ(frames.size(), 1u);
        if (frames.empty())
            return {};
        return parse(frames[0], announced.empty() ? 255 : announced.back());
    }
    void ack(std::uint8_t status = 0) { answer(engine, {engine.getPackNumber(), 5, status}); }
    // Acknowledges every request until none follows; returns them in order.
    std::vector<WriteRequest> runToEnd() {
        std::vector<WriteRequest> requests;
        while (engine.getQueueSize() > 0) {
            requests.push_back(take());
            ack();
        }
        return requests;
    }
};

TEST_F(FileTransfer, HundredBytesGoEraseChunksClose) {
    const Bytes content = TempFile::pattern(100);
    TempFile file(content);
    start(file);
    const auto requests = runToEnd();
    ASSERT_EQ(requests.size(), 6u);

    EXPECT_EQ(requests[0].offset, 0u);
    EXPECT_TRUE(requests[0].data.empty());
    EXPECT_EQ(requests[0].timeoutMs, 20000u);
    const std::uint32_t offsets[] = {0, 32, 64, 96};
    const std::size_t sizes[] = {32, 32, 32, 4};
    const std::uint8_t percents[] = {0, 32, 64, 96};
    for (int i = 0; i < 4; ++i) {
        const WriteRequest& chunk = requests[1 + i];
        EXPECT_EQ(chunk.offset, offsets[i]);
        EXPECT_EQ(chunk.data, Bytes(content.begin() + offsets[i], content.begin() + offsets[i] + sizes[i]));
        EXPECT_EQ(chunk.timeoutMs, 500u);
        EXPECT_EQ(chunk.percent, percents[i]);
    }
    EXPECT_EQ(requests[5].offset, 100u);
    EXPECT_TRUE(requests[5].data.empty());
    EXPECT_EQ(requests[5].timeoutMs, 500u);
    EXPECT_EQ(requests[5].percent, 99) << "the closing request is not yet the device's confirmation";

    EXPECT_EQ(announced.size(), 7u);
    EXPECT_EQ(announced.back(), 100);
    EXPECT_EQ(engine.transferPercent, 100);
    EXPECT_FALSE(engine.isTransferActive());
    EXPECT_FALSE(engine.isPending(MSG_FILE_WRITE));
    EXPECT_EQ(capture.count("Firmware transfer complete: 100 bytes in ", BaseLogger::WARNING), 1u);
    EXPECT_EQ(capture.count("erase file request (device 5, file 0). Pack #1, attempt #0", BaseLogger::INFO),
              1u);
    EXPECT_EQ(capture.count("erase file response (device 5, file #0) Pack #1", BaseLogger::INFO), 1u);
    EXPECT_EQ(
        capture.count("write file request (device 5, file 0, offset 96, chunk size 4). Pack #5, attempt #0"),
        1u);
    EXPECT_EQ(capture.count("finish file request (device 5, file 0). Pack #6, attempt #0"), 1u);

    // After the end a repeated acknowledgement is unexpected and changes nothing.
    ack();
    EXPECT_EQ(capture.count("received unexpected message (device 5, message 0, pack #6)"), 1u);
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_EQ(announced.size(), 7u);
}

struct SizeCase {
    const char* name;
    std::size_t size;
    std::size_t chunk;
    friend void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }
};

class TransferSizes : public FileTransfer, public testing::WithParamInterface<SizeCase> {};

TEST_P(TransferSizes, WholeFileArrivesInChunksOfItsSize) {
    const Bytes content = TempFile::pattern(GetParam().size);
    TempFile file(content);
    start(file);
    const auto requests = runToEnd();
    const std::size_t chunk = GetParam().chunk;
    const std::size_t chunks = (content.size() + chunk - 1) / chunk;
    ASSERT_EQ(requests.size(), chunks + 2);

    Bytes received;
    std::uint8_t previous = 0;
    for (std::size_t i = 1; i + 1 < requests.size(); ++i) {
        const WriteRequest& r = requests[i];
        ASSERT_EQ(r.offset, received.size()) << "chunk " << i;
        ASSERT_TRUE(r.data.size() == chunk || i + 2 == requests.size()) << "only the last chunk is short";
        ASSERT_GE(r.percent, previous);
        previous = r.percent;
        received.insert(received.end(), r.data.begin(), r.data.end());
    }
    EXPECT_EQ(received, content);
    EXPECT_EQ(requests.back().offset, content.size());
    EXPECT_LE(requests.back().percent, 99);
    EXPECT_EQ(engine.transferPercent, 100);
}

INSTANTIATE_TEST_SUITE_P(Table, TransferSizes,
                         testing::Values(SizeCase{"oneByte", 1, 32}, SizeCase{"exactChunks", 3200, 32},
                                         SizeCase{"justBelow256KiB", 262143, 32},
                                         SizeCase{"exactly256KiB", 262144, 64}),
                         [](const testing::TestParamInfo<SizeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(FileTransfer, PercentageIsComputedInSinglePrecision) {
    TempFile file(TempFile::pattern(3200));
    start(file);
    const auto requests = runToEnd();
    bool seen = false;
    for (const WriteRequest& r : requests) {
        if (r.offset == 1696 && !r.data.empty()) {
            seen = true;
            // 1696 / 3200 is 0.52999997 as a float: 52, where exact arithmetic gives 53.
            EXPECT_EQ(r.percent, 52);
        }
    }
    EXPECT_TRUE(seen);
}

TEST_F(FileTransfer, EmptyFileIsErasedAndClosedWithoutCompletionLine) {
    TempFile file({});
    start(file);
    const auto requests = runToEnd();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].timeoutMs, 20000u);
    EXPECT_EQ(requests[1].offset, 0u);
    EXPECT_EQ(requests[1].timeoutMs, 500u);
    EXPECT_EQ(requests[0].percent, 0);
    EXPECT_EQ(requests[1].percent, 0);
    EXPECT_EQ(engine.transferPercent, 100);
    EXPECT_EQ(capture.count("Firmware transfer complete"), 0u);
    EXPECT_EQ(announced.back(), 100);
}

TEST(TransferCompleteLine, RateUsesAtLeastOneMillisecond) {
    EXPECT_EQ(PayloadHandler::transferCompleteLine(1024, 0),
              "Firmware transfer complete: 1024 bytes in 0 ms (1000.000000 KiB/s)");
    EXPECT_EQ(PayloadHandler::transferCompleteLine(2048, 500),
              "Firmware transfer complete: 2048 bytes in 500 ms (4.000000 KiB/s)");
    EXPECT_EQ(PayloadHandler::transferCompleteLine(262144, 64000),
              "Firmware transfer complete: 262144 bytes in 64000 ms (4.000000 KiB/s)");
}

TEST_F(FileTransfer, ErrorStatusStopsWhereItIs) {
    TempFile file(TempFile::pattern(100));
    start(file);
    take();
    ack();
    take();
    ack();
    const WriteRequest second = take();
    EXPECT_EQ(second.offset, 32u);
    ack(5);
    EXPECT_EQ(capture.count("Message with problem - error code: 5", BaseLogger::WARNING), 1u);
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_FALSE(engine.isPending(MSG_FILE_WRITE));
    EXPECT_TRUE(engine.isTransferActive());
    EXPECT_EQ(engine.transferPercent, 32);
    EXPECT_EQ(capture.count("Firmware transfer complete"), 0u);
}

TEST_F(FileTransfer, DuplicateAcknowledgementDoesNotAdvance) {
    TempFile file(TempFile::pattern(100));
    start(file);
    take();
    ack();
    take();
    const std::uint8_t chunkPack = engine.getPackNumber();
    ack();
    const WriteRequest next = take();
    EXPECT_EQ(next.offset, 32u);
    answer(engine, {chunkPack, 5, 0});
    EXPECT_EQ(engine.getQueueSize(), 0u);
    ack();
    EXPECT_EQ(take().offset, 64u) << "one chunk per acknowledgement";
}

TEST_F(FileTransfer, NewFileWhileAStepIsPendingStartsOverWithErase) {
    const Bytes first = TempFile::pattern(100);
    TempFile oldFile(first);
    start(oldFile);
    take();
    ack();
    take();
    ack();
    take(); // the chunk at offset 32 is never acknowledged
    const std::uint8_t stalledPack = engine.getPackNumber();

    Bytes second(70, 0x5A);
    TempFile newFile(second);
    start(newFile);
    EXPECT_EQ(capture.count(
                  "file transfer (device 5, file 0) is still waiting for the device: dropped, starting over",
                  BaseLogger::WARNING),
              1u);
    EXPECT_EQ(capture.count("File size in bytes: 70"), 1u);
    const WriteRequest erase = take();
    EXPECT_EQ(erase.offset, 0u);
    EXPECT_TRUE(erase.data.empty());
    EXPECT_EQ(erase.timeoutMs, 20000u);
    EXPECT_EQ(erase.percent, 0);

    // The late answer to the stalled chunk does not move the new transfer.
    answer(engine, {stalledPack, 5, 0});
    EXPECT_EQ(engine.getQueueSize(), 0u);
    ack();
    const auto rest = runToEnd();
    Bytes received;
    for (const WriteRequest& r : rest)
        received.insert(received.end(), r.data.begin(), r.data.end());
    EXPECT_EQ(received, second);
    EXPECT_EQ(rest.front().offset, 0u);
    EXPECT_EQ(engine.transferPercent, 100);
}

TEST_F(FileTransfer, UnreadableNewFileDropsTheStalledTransferToo) {
    TempFile oldFile(TempFile::pattern(100));
    start(oldFile);
    take();
    FileRequest missing{5, 0, "/nonexistent/tavisk/image.bin", nullptr};
    engine.onMessage(MSG_FIRMWARE_WRITE, &missing);
    engine.generateResponse(MSG_FILE_WRITE, nullptr);
    EXPECT_EQ(capture.count("Can't open file.", BaseLogger::ERROR), 1u);
    EXPECT_EQ(capture.count("file transfer (device 5, file 0) is still waiting for the device: dropped"), 1u);
    EXPECT_EQ(capture.count("starting over"), 0u);
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_FALSE(engine.isPending(MSG_FILE_WRITE));
    EXPECT_FALSE(engine.isTransferActive());
}

TEST_F(FileTransfer, LoadFirmwareHandlerStartsTheTransferFromTheEraseAcknowledgement) {
    // As the main window's handler does, on the listener thread inside the answer processing.
    TempFile file(TempFile::pattern(40));
    hooks.onUpload = [&](LoadStage) { start(file); };
    Field* erase = engine.deviceHandler.getDevice(5)->getFieldByName("erase");
    const std::uint8_t code[4] = {0x78, 0x56, 0x34, 0x12};
    erase->setData(true, code);
    std::uint8_t target[] = {5, 0};
    engine.onMessage(MSG_SET_FIELD, target);
    engine.generateResponse(MSG_SET_FIELD, nullptr);
    drain(engine);
    ack();
    ASSERT_EQ(hooks.uploads.size(), 1u);
    const auto requests = runToEnd();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].timeoutMs, 20000u);
    EXPECT_EQ(engine.transferPercent, 100);
    EXPECT_EQ(hooks.uploads.size(), 1u);
}

TEST_F(FileTransfer, ResetDropsTheTransfer) {
    TempFile file(TempFile::pattern(100));
    start(file);
    take();
    ack();
    engine.resetState();
    EXPECT_EQ(engine.transferPercent, 0);
    EXPECT_FALSE(engine.isTransferActive());
    EXPECT_EQ(engine.getQueueSize(), 0u);
    ack();
    EXPECT_EQ(engine.getQueueSize(), 0u);
}

} // namespace
