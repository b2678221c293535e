#include "link/FileTransfer.h"
#include "link/PayloadHandler.h"
#include "tests/link/EngineTestSupport.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

using namespace tavisk::test;

namespace {

// The steps of one transfer by file size: around the 32-byte chunk, and around 256 KiB, from
// which 64-byte chunks take over. The values are worked out by hand from the protocol's rules.
struct StepCase {
    const char* name;
    std::size_t size;
    std::size_t chunk;             // data bytes of every chunk but the last
    std::size_t requests;          // erase, chunks, closing
    std::size_t lastChunk;         // data bytes of the last chunk; 0 when there is none
    std::uint8_t lastChunkPercent; // announced with the last chunk
    std::uint8_t closePercent;     // announced with the closing request
    friend void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }
};

class FileTransferSteps : public testing::TestWithParam<StepCase> {};

// The percentage of a chunk at `offset`: the share of the file, in single precision, cut.
std::uint8_t shareOf(std::size_t offset, std::size_t size) {
    return static_cast<std::uint8_t>(static_cast<float>(offset) / static_cast<float>(size) * 100.0f);
}

TEST_P(FileTransferSteps, EraseThenChunksThenCloseEachAfterTheLastAcknowledgement) {
    const StepCase& c = GetParam();
    const Bytes content = TempFile::pattern(c.size);
    const auto loadedAt = std::chrono::steady_clock::time_point(std::chrono::seconds(7));
    FileTransfer transfer;
    ASSERT_TRUE(transfer.start(content, 5, 2, loadedAt));
    EXPECT_EQ(transfer.device(), 5);
    EXPECT_EQ(transfer.file(), 2);
    EXPECT_EQ(transfer.startedAt(), loadedAt);
    EXPECT_EQ(transfer.acknowledge(), FileTransfer::Ack::NOTHING_SENT) << "no request is out yet";

    std::vector<FileTransfer::Request> requests;
    for (bool complete = false; !complete;) {
        ASSERT_LT(requests.size(), c.requests) << "more requests than the file takes";
        const std::optional<FileTransfer::Request> request = transfer.next();
        ASSERT_TRUE(request);
        // Asked again before the acknowledgement (a caller framing the request once more),
        // the same step comes out.
        const std::optional<FileTransfer::Request> again = transfer.next();
        ASSERT_TRUE(again);
        ASSERT_EQ(again->kind, request->kind);
        ASSERT_EQ(again->offset, request->offset);
        ASSERT_EQ(again->length, request->length);
        ASSERT_EQ(again->percent, request->percent);

        const FileTransfer::View view = transfer.view();
        ASSERT_TRUE(view.active);
        ASSERT_EQ(view.eraseDone, request->kind != FileTransfer::Kind::ERASE);
        ASSERT_EQ(view.finishSent, request->closes());
        ASSERT_EQ(view.offset, request->offset);
        ASSERT_EQ(view.size, c.size);
        requests.push_back(*request);

        const FileTransfer::Ack ack = transfer.acknowledge();
        complete = ack == FileTransfer::Ack::COMPLETE;
        ASSERT_EQ(complete, request->closes()) << "complete only once the closing request is confirmed";
        if (!complete) {
            ASSERT_EQ(ack, FileTransfer::Ack::NEXT);
        }
    }
    ASSERT_EQ(requests.size(), c.requests);

    const FileTransfer::Request& erase = requests.front();
    EXPECT_EQ(erase.kind, FileTransfer::Kind::ERASE);
    EXPECT_EQ(erase.offset, 0u);
    EXPECT_EQ(erase.length, 0);
    EXPECT_EQ(erase.timeoutMs, 20000u);
    EXPECT_EQ(erase.percent, 0);

    Bytes received;
    std::uint8_t previous = 0;
    for (std::size_t i = 1; i + 1 < requests.size(); ++i) {
        const FileTransfer::Request& chunk = requests[i];
        const bool last = i + 2 == requests.size();
        ASSERT_EQ(chunk.kind, FileTransfer::Kind::CHUNK) << "request " << i;
        ASSERT_EQ(chunk.offset, received.size()) << "request " << i;
        ASSERT_EQ(chunk.length, last ? c.lastChunk : c.chunk) << "request " << i;
        ASSERT_EQ(chunk.timeoutMs, 500u) << "request " << i;
        ASSERT_EQ(chunk.percent, shareOf(chunk.offset, c.size)) << "request " << i;
        ASSERT_GE(chunk.percent, previous) << "request " << i;
        previous = chunk.percent;
        received.insert(received.end(), chunk.data.begin(), chunk.data.begin() + chunk.length);
    }
    EXPECT_EQ(received, content);
    if (c.lastChunk != 0) {
        EXPECT_EQ(requests[requests.size() - 2].percent, c.lastChunkPercent);
    }

    const FileTransfer::Request& close = requests.back();
    EXPECT_EQ(close.kind, FileTransfer::Kind::CLOSE);
    EXPECT_EQ(close.offset, c.size);
    EXPECT_EQ(close.length, 0);
    EXPECT_EQ(close.timeoutMs, 500u);
    EXPECT_EQ(close.percent, c.closePercent);

    // Over: idle again, with nothing more to send or to acknowledge.
    const FileTransfer::View after = transfer.view();
    EXPECT_FALSE(after.active);
    EXPECT_FALSE(after.eraseDone);
    EXPECT_FALSE(after.finishSent);
    EXPECT_EQ(after.offset, 0u);
    EXPECT_EQ(after.size, 0u);
    EXPECT_FALSE(transfer.next());
    EXPECT_EQ(transfer.acknowledge(), FileTransfer::Ack::NOTHING_SENT);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FileTransferSteps,
    testing::Values(StepCase{"empty", 0, 32, 2, 0, 0, 0}, StepCase{"oneByte", 1, 32, 3, 1, 0, 99},
                    StepCase{"chunkLessOne", 31, 32, 3, 31, 0, 99},
                    StepCase{"oneChunk", 32, 32, 3, 32, 0, 99}, StepCase{"chunkAndOne", 33, 32, 4, 1, 96, 99},
                    StepCase{"below256KiB", 262143, 32, 8194, 31, 99, 99},
                    StepCase{"exactly256KiB", 262144, 64, 4098, 64, 99, 99},
                    StepCase{"above256KiB", 262145, 64, 4099, 1, 99, 99}),
    [](const testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

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

class EngineTransfer : public testing::Test {
protected:
    LogCapture capture;
    RegistryHooks& hooks = RegistryHooks::install();
    PayloadHandler engine;
    std::vector<std::uint8_t> announced; // transferPercent at each UPDATE_LOADING_STATUS

    EngineTransfer() {
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

TEST_F(EngineTransfer, HundredBytesGoEraseChunksClose) {
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
    // The request lines whole, as scripts match them.
    for (const char* line :
         {"erase file request (device 5, file 0). Pack #1, attempt #0",
          "write file request (device 5, file 0, offset 0, chunk size 32). Pack #2, attempt #0",
          "write file request (device 5, file 0, offset 96, chunk size 4). Pack #5, attempt #0",
          "finish file request (device 5, file 0). Pack #6, attempt #0"})
        EXPECT_EQ(capture.countWhole(std::string("PayloadHandler: ") + line, BaseLogger::INFO), 1u) << line;
    EXPECT_EQ(capture.count("erase file response (device 5, file #0) Pack #1", BaseLogger::INFO), 1u);

    // After the end a repeated acknowledgement is unexpected and changes nothing.
    ack();
    EXPECT_EQ(capture.count("received unexpected message (device 5, message 0, pack #6)"), 1u);
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_EQ(announced.size(), 7u);
}

TEST_F(EngineTransfer, LargeFileArrivesWholeInFramesOf64Bytes) {
    const Bytes content = TempFile::pattern(262144);
    TempFile file(content);
    start(file);
    const auto requests = runToEnd();
    ASSERT_EQ(requests.size(), 4096u + 2);
    Bytes received;
    for (std::size_t i = 1; i + 1 < requests.size(); ++i) {
        ASSERT_EQ(requests[i].offset, received.size()) << "chunk " << i;
        ASSERT_EQ(requests[i].data.size(), 64u) << "chunk " << i;
        received.insert(received.end(), requests[i].data.begin(), requests[i].data.end());
    }
    EXPECT_EQ(received, content);
    EXPECT_EQ(requests.back().offset, content.size());
    EXPECT_EQ(requests.back().percent, 99);
    EXPECT_EQ(engine.transferPercent, 100);
    EXPECT_EQ(engine.completedTransfers(), 1u);
}

TEST_F(EngineTransfer, PercentageIsComputedInSinglePrecision) {
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

TEST_F(EngineTransfer, EmptyFileIsErasedAndClosedWithoutCompletionLine) {
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

TEST_F(EngineTransfer, ErrorStatusStopsWhereItIs) {
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

TEST_F(EngineTransfer, DuplicateAcknowledgementDoesNotAdvance) {
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

TEST_F(EngineTransfer, NewFileWhileAStepIsPendingStartsOverWithErase) {
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

TEST_F(EngineTransfer, AnswerToTheStalledChunkDoesNotStandInForTheNewFilesErase) {
    TempFile oldFile(TempFile::pattern(100));
    start(oldFile);
    take();
    ack();
    take(); // the chunk at offset 0 is never acknowledged
    const std::uint8_t stalledPack = engine.getPackNumber();

    // The new file is recorded; before its erase is framed the old chunk's answer comes.
    const Bytes second(70, 0x5A);
    TempFile newFile(second);
    FileRequest request{5, 0, newFile.path(), nullptr};
    engine.onMessage(MSG_FIRMWARE_WRITE, &request);
    answer(engine, {stalledPack, 5, 0});
    EXPECT_EQ(capture.count("file write response (device 5, file #0) before its request went out: ignored",
                            BaseLogger::WARNING),
              1u);
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_TRUE(engine.isPending(MSG_FILE_WRITE));
    EXPECT_FALSE(engine.transferView().eraseDone);

    engine.generateResponse(MSG_FILE_WRITE, nullptr);
    const WriteRequest erase = take();
    EXPECT_TRUE(erase.data.empty());
    EXPECT_EQ(erase.timeoutMs, 20000u);
    ack();
    Bytes received;
    for (const WriteRequest& r : runToEnd())
        received.insert(received.end(), r.data.begin(), r.data.end());
    EXPECT_EQ(received, second);
    EXPECT_EQ(engine.completedTransfers(), 1u);
}

TEST_F(EngineTransfer, UnreadableNewFileDropsTheStalledTransferToo) {
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

TEST_F(EngineTransfer, LoadFirmwareHandlerStartsTheTransferFromTheEraseAcknowledgement) {
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

TEST_F(EngineTransfer, ResetDropsTheTransfer) {
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
