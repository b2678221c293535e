#include "link/PayloadHandler.h"
#include "tests/link/EngineTestSupport.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

using namespace tavisk::test;

namespace {

class RequestEngine : public testing::Test {
public:
    LogCapture capture;
    RegistryHooks& hooks = RegistryHooks::install();
    PayloadHandler engine;

    void request(MessageType type, void* argument = nullptr) {
        engine.onMessage(type, argument);
        engine.generateResponse(type, nullptr);
    }
    // A device 5 with a 4-byte field 2 holding `value`.
    void deviceWithField(const std::string& name, std::uint32_t value) {
        addDevice(engine, 5, 4, {{2, name}});
        Field* field = engine.deviceHandler.getDevice(5)->getField(2);
        std::uint8_t bytes[4];
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
        field->setData(true, bytes);
    }
};

TEST_F(RequestEngine, SearchIsFramedToAllDevicesAndStaysPending) {
    request(MSG_SEARCH_DEVICES);
    auto frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, (Bytes{0x7E, 0x02, 0x01, 0xFF, 0x01, 0x74}));
    EXPECT_EQ(frames[0].timeoutMs, 3000u);
    EXPECT_EQ(engine.getCurrentRequest(), MSG_SEARCH_DEVICES);
    EXPECT_TRUE(engine.isPending(MSG_SEARCH_DEVICES));

    request(MSG_SEARCH_DEVICES);
    EXPECT_EQ(capture.count("Send queue is full!", BaseLogger::WARNING), 1u);
    frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload(), (Bytes{0x02, 0xFF, 0x01}));
}

TEST_F(RequestEngine, PackNumberWrapsAfter255) {
    for (int i = 0; i < 255; ++i)
        request(MSG_SEARCH_DEVICES);
    EXPECT_EQ(engine.getPackNumber(), 255);
    drain(engine);
    request(MSG_SEARCH_DEVICES);
    const auto frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload()[0], 0);
}

struct PayloadCase {
    const char* name;
    std::function<void(RequestEngine&)> setup; // may be empty
    MessageType type;
    Bytes argument;
    Bytes payload; // without the pack number
    std::uint32_t timeoutMs;
    friend void PrintTo(const PayloadCase& c, std::ostream* os) { *os << c.name; }
};

class RequestPayloads : public RequestEngine, public testing::WithParamInterface<PayloadCase> {};

TEST_P(RequestPayloads, FramesPayloadAndTimeout) {
    const PayloadCase& c = GetParam();
    if (c.setup)
        c.setup(*this);
    drain(engine);
    Bytes argument = c.argument;
    request(c.type, argument.data());
    const auto frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    const Bytes payload = frames[0].payload();
    EXPECT_EQ(payload[0], engine.getPackNumber());
    EXPECT_EQ(Bytes(payload.begin() + 1, payload.end()), c.payload);
    EXPECT_EQ(frames[0].timeoutMs, c.timeoutMs);
    EXPECT_EQ(engine.getLastCommand(), c.payload[1]);
}

void eraseField(RequestEngine& t) {
    t.deviceWithField("erase", 0x11223344);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RequestPayloads,
    testing::Values(
        PayloadCase{"fieldInfo", {}, MSG_FIELD_INFO, {3}, {3, 5, 0}, 500},
        PayloadCase{
            "setEraseField", eraseField, MSG_SET_FIELD, {5, 2}, {5, 3, 2, 8, 0x44, 0x33, 0x22, 0x11}, 20000},
        PayloadCase{"setLongerEraseName",
                    [](RequestEngine& t) { t.deviceWithField("eraseAll", 7); },
                    MSG_SET_FIELD,
                    {5, 2},
                    {5, 3, 2, 8, 7, 0, 0, 0},
                    20000},
        PayloadCase{"setOtherField",
                    [](RequestEngine& t) { t.deviceWithField("eras", 7); },
                    MSG_SET_FIELD,
                    {5, 2},
                    {5, 3, 2, 8, 7, 0, 0, 0},
                    500},
        PayloadCase{"getField", {}, MSG_GET_FIELD, {5, 2}, {5, 4, 2}, 100}),
    [](const testing::TestParamInfo<PayloadCase>& info) { return std::string(info.param.name); });

TEST_F(RequestEngine, RepeatedRequestIsAimedAtTheNewAddressAndIndex) {
    addDevice(engine, 3, 8);
    addDevice(engine, 4, 8);
    std::uint8_t three = 3;
    request(MSG_FIELD_INFO, &three);
    // The device answers field 0; the chain asks for field 1, which goes unanswered.
    answer(engine, fieldRecord(1, 3, 8, "mode"));
    drain(engine);
    PayloadHandler::MessageDescriptor record;
    ASSERT_TRUE(engine.getPending(MSG_FIELD_INFO, record));
    EXPECT_EQ(record.index, 1);

    // Asked again for the same device, the descriptions go on at the pending field ...
    request(MSG_FIELD_INFO, &three);
    EXPECT_EQ(capture.count("Send queue is full!", BaseLogger::WARNING), 1u);
    auto frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload(), (Bytes{3, 3, 5, 1}));

    // ... asked for another device, they start at its field 0.
    std::uint8_t four = 4;
    request(MSG_FIELD_INFO, &four);
    EXPECT_EQ(capture.count("Send queue is full!", BaseLogger::WARNING), 2u);
    frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload(), (Bytes{4, 4, 5, 0}));

    // Set-field: a lost answer for field 1 must not turn the next write into one of field 1.
    addDevice(engine, 5, 4, {{1, "mode"}, {2, "erase"}});
    std::uint8_t mode[] = {5, 1};
    request(MSG_SET_FIELD, mode);
    std::uint8_t erase[] = {5, 2};
    request(MSG_SET_FIELD, erase);
    frames = drain(engine);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].payload()[3], 2);
    EXPECT_EQ(frames[1].timeoutMs, 20000u);
}

TEST_F(RequestEngine, SetFieldWithoutModelDataQueuesNothing) {
    std::uint8_t target[] = {9, 0};
    request(MSG_SET_FIELD, target);
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_FALSE(engine.isPending(MSG_SET_FIELD));
    EXPECT_EQ(engine.getCurrentRequest(), MSG_NONE);
    EXPECT_EQ(capture.count("field value set error - no field data! (device 9, field 0). Pack #1",
                            BaseLogger::ERROR),
              1u);
}

TEST_F(RequestEngine, FileRequestsNeedALoadableFile) {
    engine.onMessage(MSG_FILE_WRITE, nullptr);
    EXPECT_FALSE(engine.isPending(MSG_FILE_WRITE));

    FileRequest missing{5, 0, "/nonexistent/tavisk/image.bin", nullptr};
    engine.onMessage(MSG_FIRMWARE_WRITE, &missing);
    engine.generateResponse(MSG_FILE_WRITE, nullptr);
    EXPECT_EQ(capture.count("Can't open file.", BaseLogger::ERROR), 1u);
    EXPECT_EQ(capture.count("Can't open file: /nonexistent/tavisk/image.bin", BaseLogger::ERROR), 1u);
    EXPECT_FALSE(engine.isPending(MSG_FILE_WRITE));
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_EQ(engine.getCurrentRequest(), MSG_NONE);

    // A direct file-write request without a loaded file must not erase anything.
    engine.sendFileWriteReq();
    EXPECT_EQ(engine.getQueueSize(), 0u);
}

TEST_F(RequestEngine, FilesThatCannotBeSentWholeAreRefused) {
    TempFile folderHolder({});
    const std::string folder = std::filesystem::path(folderHolder.path()).parent_path().string();
    FileRequest directory{5, 0, folder, nullptr};
    engine.onMessage(MSG_FIRMWARE_WRITE, &directory);
    EXPECT_EQ(capture.count("Can't open file: " + folder, BaseLogger::ERROR), 1u);
    EXPECT_FALSE(engine.isPending(MSG_FILE_WRITE));

    // Offsets travel in 32 bits; a larger file is refused before anything is read.
    TempFile huge({});
    std::error_code error;
    std::filesystem::resize_file(huge.path(), std::uintmax_t{1} << 32, error);
    if (error)
        GTEST_SKIP() << "no sparse 4 GiB file here: " << error.message();
    FileRequest tooLarge{5, 0, huge.path(), nullptr};
    engine.onMessage(MSG_FIRMWARE_WRITE, &tooLarge);
    EXPECT_EQ(capture.count("Can't send file of 4294967296 bytes (at most 4294967295): " + huge.path(),
                            BaseLogger::ERROR),
              1u);
    EXPECT_FALSE(engine.isPending(MSG_FILE_WRITE));
    EXPECT_FALSE(engine.isTransferActive());
}

TEST_F(RequestEngine, FirmwareWriteIsRecordedAsFileWrite) {
    TempFile file(TempFile::pattern(100));
    FileRequest request{5, 0, file.path(), nullptr};
    engine.onMessage(MSG_FIRMWARE_WRITE, &request);
    EXPECT_EQ(capture.count("File size in bytes: 100", BaseLogger::INFO), 1u);
    engine.generateResponse(MSG_FIRMWARE_WRITE, nullptr);
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_EQ(engine.getCurrentRequest(), MSG_NONE);

    engine.generateResponse(MSG_FILE_WRITE, nullptr);
    const auto frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload(), (Bytes{1, 5, 8, 0, 0, 0, 0, 0}));
    EXPECT_EQ(frames[0].timeoutMs, 20000u);
}

TEST_F(RequestEngine, AllFieldsRecordsTwoKindsAndFramesNothingItself) {
    std::uint8_t address = 5;
    request(MSG_ALL_FIELDS, &address);
    EXPECT_TRUE(engine.isPending(MSG_FILE_INFO));
    EXPECT_TRUE(engine.isPending(MSG_FIELD_INFO));
    EXPECT_FALSE(engine.isPending(MSG_ALL_FIELDS));
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_EQ(engine.getCurrentRequest(), MSG_NONE);
}

TEST_F(RequestEngine, DfuSequenceGoesOutUnframedAndIsNotPending) {
    const std::uint8_t previous[] = {1, 5, 5, 0};
    engine.castCommand(previous, 4, 500);
    drain(engine);
    std::uint8_t address = 5;
    request(MSG_DFU, &address);
    const auto frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes.size(), 30u);
    EXPECT_EQ(frames[0].timeoutMs, 500u);
    EXPECT_FALSE(engine.isPending(MSG_DFU));
    EXPECT_EQ(engine.getCurrentRequest(), MSG_DFU);
    EXPECT_EQ(engine.getLastCommand(), FIELD_INFO_REQ);
}

TEST_F(RequestEngine, ClearQueueWithoutForceWaitsForTwentySixItems) {
    const std::uint8_t payload[] = {1, 2, 3};
    for (int i = 0; i < 25; ++i)
        engine.castCommand(payload, 3, 500);
    engine.clearQueue(false);
    EXPECT_EQ(engine.getQueueSize(), 25u);
    engine.castCommand(payload, 3, 500);
    engine.clearQueue(false);
    EXPECT_EQ(engine.getQueueSize(), 0u);
}

TEST_F(RequestEngine, FetchedFrameOutlivesAClearedQueue) {
    const std::uint8_t payload[] = {1, 0xFF, 1};
    engine.castCommand(payload, 3, 3000);
    const QueueItem inHand = engine.fetchToQueue();
    engine.resetState();
    EXPECT_EQ(Bytes(inHand.bytes(), inHand.bytes() + inHand.size),
              (Bytes{0x7E, 0x02, 0x01, 0xFF, 0x01, 0x74}));
    engine.freeFrontFromQueue(); // the sender's removal after the write: nothing left to remove
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_TRUE(engine.fetchToQueue().empty());
}

TEST_F(RequestEngine, ResetKeepsThePartialFrameAndTheModel) {
    addDevice(engine, 5, 4);
    request(MSG_SEARCH_DEVICES);
    const Bytes frame = frameOf({1, 6, 0});
    engine.update(frame.data(), 3);
    engine.resetState();
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_FALSE(engine.isPending(MSG_SEARCH_DEVICES));
    EXPECT_EQ(engine.getPackNumber(), 0);
    EXPECT_EQ(engine.getLastCommand(), 0);
    EXPECT_NE(engine.deviceHandler.getDevice(5), nullptr);
    EXPECT_EQ(engine.update(frame.data() + 3, frame.size() - 3), 1u);
    EXPECT_EQ(capture.count("received unexpected message (device 6, message 0, pack #1)"), 1u);

    request(MSG_SEARCH_DEVICES);
    EXPECT_EQ(drain(engine).at(0).payload()[0], 1) << "the pack counter starts again";
}

} // namespace
