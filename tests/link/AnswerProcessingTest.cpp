#include "link/PayloadHandler.h"
#include "tests/link/EngineTestSupport.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

using namespace tavisk::test;

namespace {

class AnswerProcessing : public testing::Test {
public:
    LogCapture capture;
    RegistryHooks& hooks = RegistryHooks::install();
    PayloadHandler engine;

    // As the main window does: a new device is asked for its field descriptions.
    void askNewDevicesForFields() {
        hooks.onCurrentDevice = [this] {
            std::uint8_t address = engine.deviceHandler.currentAddress;
            engine.onMessage(MSG_FIELD_INFO, &address);
            engine.generateResponse(MSG_FIELD_INFO, nullptr);
        };
    }

    void request(MessageType type, void* argument = nullptr) {
        engine.onMessage(type, argument);
        engine.generateResponse(type, nullptr);
    }
    void search() { request(MSG_SEARCH_DEVICES); }
    void setField(std::uint8_t address, std::uint8_t index) {
        std::uint8_t target[] = {address, index};
        request(MSG_SET_FIELD, target);
    }
    std::uint8_t pack() { return engine.getPackNumber(); }
    std::size_t unexpected() { return capture.count("received unexpected message", BaseLogger::WARNING); }
};

TEST_F(AnswerProcessing, DeviceRecordAddsTheDeviceAndStartsItsFieldDescriptions) {
    askNewDevicesForFields();
    search();
    drain(engine);
    answer(engine, deviceRecord(1, 5, 2, 13, 4, "beacon"));
    EXPECT_EQ(capture.count("device info response (device 5, beacon, 2.13) Pack #1", BaseLogger::INFO), 1u);
    EXPECT_EQ(capture.count("Message type: DEVICE_INFO_REQ", BaseLogger::DEBUG), 1u);
    App::Device* device = engine.deviceHandler.getDevice(5);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->getInfo()->fieldCount, 4);
    EXPECT_EQ(device->getInfo()->versionMinor, 13);
    EXPECT_FALSE(engine.isPending(MSG_SEARCH_DEVICES));
    const auto frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload(), (Bytes{2, 5, 5, 0}));

    // A second device answering the same search comes too late.
    answer(engine, deviceRecord(1, 6, 1, 0, 1, "late"));
    EXPECT_EQ(capture.count("received unexpected message (device 6, message 0, pack #1)"), 1u);
    EXPECT_EQ(engine.deviceHandler.getDevice(6), nullptr);
}

struct NameCase {
    const char* name;
    Bytes answer; // device record after search pack 1, device 5
    std::string logged;
    std::string stored;
    friend void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }
};

Bytes cut(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

class DeviceNames : public AnswerProcessing, public testing::WithParamInterface<NameCase> {};

TEST_P(DeviceNames, NameIsCutAndLogged) {
    search();
    answer(engine, GetParam().answer);
    EXPECT_EQ(capture.count("device info response (device 5, " + GetParam().logged + ", "), 1u);
    ASSERT_NE(engine.deviceHandler.getDevice(5), nullptr);
    EXPECT_EQ(engine.deviceHandler.getDevice(5)->getDeviceName(), GetParam().stored);
}

const std::string k70(70, 'n');

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceNames,
    testing::Values(NameCase{"unnamed", deviceRecord(1, 5, 1, 0, 0, ""), "Unnamed", ""},
                    NameCase{"plain", deviceRecord(1, 5, 1, 0, 0, "beacon"), "beacon", "beacon"},
                    NameCase{"tooLong", deviceRecord(1, 5, 1, 0, 0, k70), std::string(62, 'n'),
                             std::string(62, 'n')},
                    // Length says 10, the answer stops after 3 name bytes: the rest reads as zero.
                    NameCase{"shortAnswer", cut(deviceRecord(1, 5, 1, 0, 0, "beacon"), 16), "bea", "bea"},
                    // A length without name bytes is no unnamed device: it shows as an empty name.
                    NameCase{"lengthWithoutName", cut(deviceRecord(1, 5, 1, 0, 0, "beacon"), 13), "", ""}),
    [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

TEST_F(AnswerProcessing, ShortAnswerNeverReadsBytesOfAnEarlierFrame) {
    search();
    // A long unexpected frame fills the receive buffer with a name and a field count ...
    answer(engine, deviceRecord(9, 7, 9, 9, 200, std::string(40, 'X')));
    // ... and the answer to the search carries only its head.
    answer(engine, {1, 5, 0});
    App::Device* device = engine.deviceHandler.getDevice(5);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->getInfo()->fieldCount, 0);
    EXPECT_EQ(device->getInfo()->versionMajor, 0);
    EXPECT_EQ(device->getDeviceName(), "");
    EXPECT_EQ(capture.count("device info response (device 5, Unnamed, 0.0) Pack #1"), 1u);
}

TEST_F(AnswerProcessing, FieldDescriptionsChainUpToTheFieldCount) {
    askNewDevicesForFields();
    search();
    answer(engine, deviceRecord(1, 5, 2, 13, 4, "beacon"));
    drain(engine);
    const char* names[] = {"mode", "enterBootloader", "erase", "reboot"};
    for (std::uint8_t i = 0; i < 4; ++i) {
        answer(engine, fieldRecord(pack(), 5, 8, names[i]));
        const auto frames = drain(engine);
        if (i < 3) {
            ASSERT_EQ(frames.size(), 1u) << "after field " << int(i);
            EXPECT_EQ(frames[0].payload(), (Bytes{pack(), 5, 5, static_cast<std::uint8_t>(i + 1)}));
            EXPECT_EQ(frames[0].timeoutMs, 500u);
        } else {
            EXPECT_TRUE(frames.empty()) << "field 3 of 4 ends the chain";
        }
    }
    EXPECT_EQ(
        capture.count("field info response (device 5, field #2 erase, type #8) Pack #4", BaseLogger::INFO),
        1u);
    App::Device* device = engine.deviceHandler.getDevice(5);
    EXPECT_EQ(device->getFieldCount(), 4u);
    EXPECT_TRUE(device->isBootable());
    EXPECT_EQ(device->getFieldIndexByName("erase"), 2u);
    EXPECT_FALSE(engine.isPending(MSG_FIELD_INFO));
}

struct FieldNameCase {
    const char* name;
    Bytes answer; // for pack 1, device 5, field 0
    std::string logged;
    std::string stored;
    bool bootable;
    friend void PrintTo(const FieldNameCase& c, std::ostream* os) { *os << c.name; }
};

class FieldNames : public AnswerProcessing, public testing::WithParamInterface<FieldNameCase> {};

TEST_P(FieldNames, DescriptionIsStoredAndLogged) {
    addDevice(engine, 5, 1);
    std::uint8_t address = 5;
    request(MSG_FIELD_INFO, &address);
    answer(engine, GetParam().answer);
    EXPECT_EQ(capture.count("field info response (device 5, field #0 " + GetParam().logged + ", type #"), 1u);
    Field* field = engine.deviceHandler.getDevice(5)->getField(0);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(std::string(field->getName()), GetParam().stored);
    EXPECT_EQ(engine.deviceHandler.getDevice(5)->isBootable(), GetParam().bootable);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FieldNames,
    testing::Values(FieldNameCase{"plain", fieldRecord(1, 5, 8, "erase"), "erase", "erase", false},
                    FieldNameCase{"bootloader", fieldRecord(1, 5, 1, "enterBootloader"), "enterBootloader",
                                  "enterBootloader", true},
                    FieldNameCase{"almostBootloader", fieldRecord(1, 5, 1, "enterBootloade"),
                                  "enterBootloade", "enterBootloade", false},
                    FieldNameCase{"tooLong", fieldRecord(1, 5, 1, std::string(70, 'f')), "Undefined", "",
                                  false},
                    FieldNameCase{"empty", fieldRecord(1, 5, 1, ""), "Undefined", "", false},
                    // Length 5, two name bytes carried: the rest is zero, not stale.
                    FieldNameCase{"shortAnswer", cut(fieldRecord(1, 5, 8, "erase"), 7), "er", "er", false},
                    FieldNameCase{"lengthWithoutName", cut(fieldRecord(1, 5, 8, "erase"), 5), "", "", false}),
    [](const testing::TestParamInfo<FieldNameCase>& info) { return std::string(info.param.name); });

// --- matching ------------------------------------------------------------------------------

struct MatchCase {
    const char* name;
    std::function<void(AnswerProcessing&)> before; // device 5 with field 0 "mode" exists
    std::function<Bytes(AnswerProcessing&)> answer;
    const char* line; // expected warning, or "" for none at all
    bool stillPending;
    friend void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }
};

class Matching : public AnswerProcessing, public testing::WithParamInterface<MatchCase> {};

TEST_P(Matching, AnswerIsIgnoredWithItsLine) {
    addDevice(engine, 5, 2, {{0, "mode"}});
    std::uint8_t address = 5;
    request(MSG_FIELD_INFO, &address);
    if (GetParam().before)
        GetParam().before(*this);
    drain(engine);
    capture.clear();
    answer(engine, GetParam().answer(*this));
    const std::string line = GetParam().line;
    if (line.empty())
        EXPECT_TRUE(capture.lines().empty());
    else
        EXPECT_EQ(capture.count(line, BaseLogger::WARNING), 1u);
    EXPECT_EQ(engine.isPending(engine.getCurrentRequest()), GetParam().stillPending);
    EXPECT_EQ(engine.getQueueSize(), 0u) << "nothing is chained";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Matching,
    testing::Values(MatchCase{"tooShort",
                              {},
                              [](AnswerProcessing&) {
                                  return Bytes{1, 5};
                              },
                              "",
                              true},
                    MatchCase{"olderPack", [](AnswerProcessing& t) { t.request(MSG_SEARCH_DEVICES); },
                              [](AnswerProcessing&) { return fieldRecord(1, 5, 8, "x"); },
                              "received unexpected message (device 5, message 0, pack #1)", true},
                    MatchCase{"nothingPending", [](AnswerProcessing& t) { t.engine.resetState(); },
                              [](AnswerProcessing&) { return fieldRecord(0, 5, 8, "x"); },
                              "received unexpected message (device 5, message 0, pack #0)", false},
                    MatchCase{"unknownDevice",
                              {},
                              [](AnswerProcessing&) { return fieldRecord(1, 9, 8, "x"); },
                              "unknown device address 9. Pack 1",
                              true},
                    MatchCase{"errorStatus",
                              {},
                              [](AnswerProcessing&) { return fieldRecord(1, 5, 8, "x", 3); },
                              "Message with problem - error code: 3",
                              false},
                    // An answer read by the layout of an older command: a file-information request frames
                    // nothing, so the last framed command still belongs to the field description.
                    MatchCase{"commandNotOfTheCurrentRequest",
                              [](AnswerProcessing& t) {
                                  std::uint8_t address = 5;
                                  t.request(MSG_FILE_INFO, &address);
                              },
                              [](AnswerProcessing& t) { return fieldRecord(t.pack(), 5, 8, "x"); },
                              "received unexpected message (device 5, message 0, pack #2)", true}),
    [](const testing::TestParamInfo<MatchCase>& info) { return std::string(info.param.name); });

TEST_F(AnswerProcessing, AnswerFromTheRightDeviceIsTakenAfterAnUnknownOne) {
    addDevice(engine, 5, 1);
    std::uint8_t address = 5;
    for (int i = 0; i < 4; ++i)
        request(MSG_FIELD_INFO, &address);
    answer(engine, fieldRecord(4, 9, 8, "erase"));
    EXPECT_EQ(capture.count("unknown device address 9. Pack 4", BaseLogger::WARNING), 1u);
    EXPECT_TRUE(engine.isPending(MSG_FIELD_INFO));
    answer(engine, fieldRecord(4, 5, 8, "erase"));
    EXPECT_FALSE(engine.isPending(MSG_FIELD_INFO));
    EXPECT_NE(engine.deviceHandler.getDevice(5)->getField(0), nullptr);
}

TEST_F(AnswerProcessing, FieldValueIsStoredAndChained) {
    addDevice(engine, 5, 3, {{0, "mode"}, {1, "level"}, {2, "erase"}}, 3);
    std::uint8_t target[] = {5, 1};
    request(MSG_GET_FIELD, target);
    drain(engine);
    answer(engine, {pack(), 5, 0, 0xEE, 0x34, 0x12, 0x99});
    Field* field = engine.deviceHandler.getDevice(5)->getField(1);
    EXPECT_EQ(field->getData()[0], 0x34);
    EXPECT_EQ(field->getData()[1], 0x12);
    EXPECT_EQ(field->getData()[2], 0x00) << "a 2-byte type stores 2 bytes";
    EXPECT_EQ(field->getStatus(), Field::FIELD_CHANGED_BY_DEVICE);
    // The message itself ends with a line feed, so the console line breaks before its label.
    EXPECT_NE(capture.raw().find("field value response (device 5, field #1)\n [INFO]"), std::string::npos);
    const auto frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload(), (Bytes{pack(), 5, 4, 2}));
    EXPECT_EQ(frames[0].timeoutMs, 100u);
    EXPECT_EQ(
        capture.countWhole("PayloadHandler: field value request (device 5, field 2). Pack #2, attempt #0",
                           BaseLogger::INFO),
        1u);
    answer(engine, {pack(), 5, 0, 0, 1, 0});
    EXPECT_TRUE(drain(engine).empty()) << "field 2 of 3 ends the chain";
}

TEST_F(AnswerProcessing, FieldNumber255DoesNotWrapTheChainToField0) {
    addDevice(engine, 5, 255);
    std::uint8_t target[] = {5, 255};
    request(MSG_GET_FIELD, target);
    drain(engine);
    answer(engine, {pack(), 5, 0, 0, 1});
    EXPECT_TRUE(drain(engine).empty());
    EXPECT_FALSE(engine.isPending(MSG_GET_FIELD));
}

// --- set-field acknowledgement -------------------------------------------------------------

struct AckCase {
    const char* name;
    std::vector<std::pair<std::uint8_t, std::string>> fields;
    std::uint8_t written;
    std::uint8_t status;
    std::size_t loads;
    friend void PrintTo(const AckCase& c, std::ostream* os) { *os << c.name; }
};

class SetFieldAck : public AnswerProcessing, public testing::WithParamInterface<AckCase> {};

TEST_P(SetFieldAck, OnlyTheEraseFieldStartsTheUpload) {
    addDevice(engine, 5, 4, GetParam().fields);
    setField(5, GetParam().written);
    ASSERT_EQ(drain(engine).size(), 1u);
    answer(engine, {pack(), 5, GetParam().status});
    EXPECT_EQ(hooks.uploads.size(), GetParam().loads);
    if (GetParam().loads != 0) {
        EXPECT_EQ(hooks.uploads[0], LOAD_FIRMWARE);
    }
    if (GetParam().status != 0) {
        EXPECT_EQ(capture.count("Message with problem - error code: " + std::to_string(GetParam().status)),
                  1u);
    }
    EXPECT_FALSE(engine.isPending(MSG_SET_FIELD));

    answer(engine, {pack(), 5, 0});
    EXPECT_EQ(hooks.uploads.size(), GetParam().loads) << "a repeated acknowledgement fires nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetFieldAck,
    testing::Values(AckCase{"erase", {{0, "mode"}, {2, "erase"}}, 2, 0, 1},
                    AckCase{"otherField", {{0, "mode"}, {2, "erase"}}, 0, 0, 0},
                    AckCase{"errorStatus", {{2, "erase"}}, 2, 3, 0},
                    // The unnamed field would match "erase" by prefix; its write must not start a transfer.
                    AckCase{"unnamedField", {{0, ""}, {2, "erase"}}, 0, 0, 0},
                    AckCase{"unnamedThenErase", {{0, ""}, {2, "erase"}}, 2, 0, 1}),
    [](const testing::TestParamInfo<AckCase>& info) { return std::string(info.param.name); });

TEST_F(AnswerProcessing, EraseCodeLandsOnlyInTheEraseField) {
    // As the upload does: look the field up by name, write the code into it, send it.
    addDevice(engine, 5, 3, {{0, ""}, {1, "mode"}, {2, "erase"}});
    App::Device* device = engine.deviceHandler.getDevice(5);
    Field* target = device->getFieldByName("erase");
    ASSERT_NE(target, nullptr);
    const std::uint8_t code[4] = {0x78, 0x56, 0x34, 0x12};
    target->setData(true, code);
    setField(5, target->getIndex());
    const auto frames = drain(engine);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload(), (Bytes{pack(), 5, 3, 2, 8, 0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(frames[0].timeoutMs, 20000u);
    EXPECT_EQ(device->getField(0)->getStatus(), Field::FIELD_UNCHANGED);
    EXPECT_EQ(device->getField(0)->getData()[0], 0);
    answer(engine, {pack(), 5, 0});
    EXPECT_EQ(hooks.uploads, std::vector<LoadStage>{LOAD_FIRMWARE});
}

TEST_F(AnswerProcessing, AcknowledgementForADeviceNoLongerInTheModelDoesNothing) {
    addDevice(engine, 5, 1, {{0, "erase"}});
    addDevice(engine, 6, 1);
    setField(5, 0);
    drain(engine);
    engine.deviceHandler.clearDeviceList();
    addDevice(engine, 6, 1);
    drain(engine);
    answer(engine, {pack(), 6, 0});
    EXPECT_EQ(capture.count("field value set response for device 5, which is not known: ignored",
                            BaseLogger::WARNING),
              1u);
    EXPECT_TRUE(hooks.uploads.empty());
    EXPECT_EQ(engine.getQueueSize(), 0u);
}

} // namespace
