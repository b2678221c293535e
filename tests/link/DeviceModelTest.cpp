#include "link/DeviceHandler.h"
#include "tests/link/EngineTestSupport.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace tavisk::test;

namespace {

DeviceInfo deviceInfo(std::uint8_t address, const std::string& name, std::uint8_t fieldCount = 4) {
    DeviceInfo info;
    info.address = address;
    info.versionMajor = 2;
    info.versionMinor = 13;
    info.fieldCount = fieldCount;
    info.nameLength = static_cast<std::uint8_t>(name.size());
    std::memcpy(info.name, name.data(), name.size());
    return info;
}

FieldInfo fieldInfo(const std::string& name, std::uint8_t type = 8) {
    FieldInfo info;
    info.type = type;
    info.nameLength = static_cast<std::uint8_t>(name.size());
    std::memcpy(info.name, name.data(), name.size());
    return info;
}

class DeviceModel : public testing::Test {
protected:
    LogCapture capture;
    RegistryHooks& hooks = RegistryHooks::install();
    DeviceHandler model;
};

TEST_F(DeviceModel, FirstRecordOfAnAddressStays) {
    EXPECT_EQ(model.currentAddress, 0xFF);
    model.addDevice(deviceInfo(5, "beacon"));
    EXPECT_EQ(model.currentAddress, 5);
    EXPECT_EQ(hooks.currentDeviceCount, 1);
    EXPECT_EQ(capture.count("added device with address 5", BaseLogger::INFO), 1u);

    model.addDevice(deviceInfo(7, "other"));
    model.addDevice(deviceInfo(5, "impostor", 9));
    EXPECT_EQ(capture.count("device with address 5 already exists", BaseLogger::WARNING), 1u);
    EXPECT_EQ(model.currentAddress, 7);
    EXPECT_EQ(hooks.currentDeviceCount, 2);
    ASSERT_NE(model.getDevice(5), nullptr);
    EXPECT_EQ(model.getDevice(5)->getDeviceName(), "beacon");
    EXPECT_EQ(model.getDevice(5)->getInfo()->fieldCount, 4);
}

TEST_F(DeviceModel, ClearedDeviceIsAddedAfreshWhenItAnswersAgain) {
    model.addDevice(deviceInfo(5, ""));
    EXPECT_EQ(model.getDevice(5)->getDeviceName(), "");
    model.clearDeviceList();
    EXPECT_EQ(model.currentAddress, 5);
    EXPECT_EQ(model.getDevice(model.currentAddress), nullptr);
    model.addDevice(deviceInfo(5, "beacon"));
    EXPECT_NE(model.getDevice(5), nullptr);
    EXPECT_EQ(hooks.currentDeviceCount, 2);
}

TEST_F(DeviceModel, OperationsOnUnknownAddressesDoNothing) {
    capture.clear(); // the hooks may just have been registered
    const std::uint8_t value[8] = {1};
    model.addDeviceField(3, 0, fieldInfo("erase"));
    model.setDeviceFieldValue(3, 0, value);
    model.setDeviceFieldValueLoaded(3, 0);
    model.deleteFields(3);
    EXPECT_TRUE(model.getDeviceList()->empty());
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(DeviceModel, FieldsAreFoundUnderSparseIndexesAndKeepTheirFirstDescription) {
    model.addDevice(deviceInfo(5, "beacon"));
    for (std::uint8_t index : {0, 1, 2, 200})
        model.addDeviceField(5, index, fieldInfo("f" + std::to_string(index)));
    model.addDeviceField(5, 1, fieldInfo("renamed", 3));
    App::Device* device = model.getDevice(5);
    ASSERT_NE(device->getField(2), nullptr);
    EXPECT_STREQ(device->getField(2)->getName(), "f2");
    EXPECT_EQ(device->getField(3), nullptr);
    ASSERT_NE(device->getField(200), nullptr);
    EXPECT_STREQ(device->getField(200)->getName(), "f200");
    EXPECT_STREQ(device->getField(1)->getName(), "f1");
    EXPECT_EQ(device->getField(1)->getType(), 8);
    EXPECT_EQ(device->getFieldCount(), 4u);

    model.deleteFields(5);
    EXPECT_EQ(device->getFieldCount(), 0u);
    EXPECT_EQ(device->getInfo()->fieldCount, 0);
}

TEST_F(DeviceModel, NamesStayTerminatedWhateverTheRecordHolds) {
    DeviceInfo info = deviceInfo(5, "");
    std::memset(info.name, 'd', sizeof info.name);
    info.nameLength = 62;
    model.addDevice(info);
    App::Device* device = model.getDevice(5);
    EXPECT_EQ(std::strlen(device->getInfo()->name), 62u);
    EXPECT_EQ(device->getDeviceName(), std::string(62, 'd'));

    model.addDeviceField(5, 0, fieldInfo("erase"));
    Field* field = device->getField(0);
    FieldInfo retyped = *field->getInfo();
    std::memset(retyped.name, 'f', sizeof retyped.name);
    field->setInfo(retyped);
    EXPECT_EQ(std::strlen(field->getName()), 62u);
}

struct LookupCase {
    const char* name;
    std::vector<std::pair<std::uint8_t, std::string>> fields;
    const char* wanted;
    std::uint64_t index; // all ones: none
    friend void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.name; }
};

constexpr std::uint64_t kNone = ~std::uint64_t{0};

class FieldLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(FieldLookup, StoredNameMustBeANonEmptyPrefixOfTheWantedName) {
    LogCapture capture;
    RegistryHooks::install();
    DeviceHandler model;
    model.addDevice(deviceInfo(5, "beacon"));
    for (const auto& field : GetParam().fields)
        model.addDeviceField(5, field.first, fieldInfo(field.second));
    App::Device* device = model.getDevice(5);
    EXPECT_EQ(device->getFieldIndexByName(GetParam().wanted), GetParam().index);
    Field* found = device->getFieldByName(GetParam().wanted);
    if (GetParam().index == kNone)
        EXPECT_EQ(found, nullptr);
    else
        EXPECT_EQ(found, device->getField(static_cast<std::uint8_t>(GetParam().index)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FieldLookup,
    testing::Values(LookupCase{"exact", {{0, "reboot"}, {1, "erase"}}, "erase", 1},
                    LookupCase{"storedIsPrefix", {{0, "eras"}}, "erase", 0},
                    LookupCase{"wantedIsPrefix", {{0, "erase"}}, "eras", kNone},
                    LookupCase{"longerWanted", {{0, "erase"}}, "eraseAll", 0},
                    LookupCase{"firstInIndexOrder", {{4, "erase"}, {1, "er"}}, "erase", 1},
                    LookupCase{"unnamedNeverMatches", {{0, ""}, {2, "erase"}}, "erase", 2},
                    LookupCase{"onlyUnnamed", {{0, ""}}, "erase", kNone},
                    LookupCase{"lengthOnlyNuls", {{0, std::string(3, '\0')}}, "erase", kNone},
                    // A name length that counts the terminator, or NULs after it.
                    LookupCase{"lengthCountsTheNul", {{0, std::string("erase\0", 6)}}, "erase", 0},
                    LookupCase{"lengthCountsNuls", {{0, std::string("erase\0\0\0", 8)}}, "erase", 0},
                    LookupCase{"nulInsideStoredName", {{0, std::string("er\0se", 5)}}, "erase", kNone},
                    LookupCase{"storedLongerThanWanted", {{0, std::string("erase\0x", 7)}}, "erase", kNone},
                    LookupCase{"sparseIndex", {{7, "erase"}}, "erase", 7},
                    LookupCase{"noFields", {}, "erase", kNone}),
    [](const testing::TestParamInfo<LookupCase>& info) { return std::string(info.param.name); });

struct StoreCase {
    const char* name;
    std::uint8_t type;
    bool forceFirst;           // the application wrote 0x01 before
    std::uint8_t deviceByte;   // first byte of the device's value
    std::uint8_t storedByte;   // expected first stored byte afterwards
    Field::FieldStatus status; // expected status afterwards
    friend void PrintTo(const StoreCase& c, std::ostream* os) { *os << c.name; }
};

class FieldStore : public testing::TestWithParam<StoreCase> {};

TEST_P(FieldStore, DeviceValueAndStatus) {
    LogCapture capture;
    const StoreCase& c = GetParam();
    Field field(0, fieldInfo("mode", c.type));
    if (c.forceFirst) {
        const std::uint8_t local[8] = {0x01};
        field.setData(true, local);
        capture.clear();
    }
    const std::uint8_t fromDevice[8] = {c.deviceByte};
    field.setData(false, fromDevice);
    EXPECT_EQ(field.getData()[0], c.storedByte);
    EXPECT_EQ(field.getStatus(), c.status);
    EXPECT_EQ(capture.count("current mode field value is \"" +
                                std::to_string(static_cast<int>(static_cast<std::int8_t>(c.storedByte))) +
                                "\"",
                            BaseLogger::INFO),
              1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FieldStore,
    testing::Values(StoreCase{"differs", 8, false, 0x2A, 0x2A, Field::FIELD_CHANGED_BY_DEVICE},
                    StoreCase{"equal", 8, false, 0x00, 0x00, Field::FIELD_UNCHANGED},
                    StoreCase{"negativeByte", 0, false, 200, 200, Field::FIELD_CHANGED_BY_DEVICE},
                    StoreCase{"localSticks", 8, true, 0x7F, 0x7F, Field::FIELD_SET_LOCALLY},
                    StoreCase{"localEqualSticks", 8, true, 0x01, 0x01, Field::FIELD_SET_LOCALLY},
                    StoreCase{"sizelessTypeIgnoresDevice", 12, false, 0x2A, 0x00, Field::FIELD_UNCHANGED}),
    [](const testing::TestParamInfo<StoreCase>& info) { return std::string(info.param.name); });

TEST(FieldValue, LocalWriteCopiesTheTypeSizeOnly) {
    LogCapture capture;
    Field field(0, fieldInfo("erase", 3)); // 2 bytes
    const std::uint8_t value[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    field.setData(true, value);
    EXPECT_EQ(std::vector<std::uint8_t>(field.getData(), field.getData() + 8),
              (std::vector<std::uint8_t>{0x11, 0x22, 0, 0, 0, 0, 0, 0}));

    Field sizeless(1, fieldInfo("odd", 12));
    sizeless.setData(true, value);
    EXPECT_EQ(sizeless.getData()[0], 0);
    EXPECT_EQ(sizeless.getStatus(), Field::FIELD_SET_LOCALLY);
}

TEST(FieldValue, TypeSizes) {
    const std::uint8_t sizes[] = {1, 1, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8, 0, 0};
    for (std::uint8_t type = 0; type < sizeof sizes; ++type)
        EXPECT_EQ(Field::typeSize(type), sizes[type]) << int(type);
    EXPECT_EQ(Field::typeSize(255), 0);
}

} // namespace
