// The answer layouts, read from bytes alone: no engine, no model, no log.
#include "link/PayloadAnswer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

enum class Layout { HEADER, DEVICE_INFO, FIELD_INFO, FIELD_VALUE, FILE_INFO };

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        char two[4];
        std::snprintf(two, sizeof two, i == 0 ? "%02x" : " %02x", bytes[i]);
        out += two;
    }
    return out;
}

// A name as the record holds it: up to its first NUL, flagged when no NUL follows the length.
std::string nameOf(const char* name, std::size_t room, std::uint8_t length) {
    std::string shown = "\"" + std::string(name, strnlen(name, room)) + "\" (" + std::to_string(length) + ")";
    return length < room && name[length] == '\0' ? shown : shown + " unterminated";
}

std::string describe(Layout layout, const Bytes& bytes) {
    const PayloadAnswer::Bytes answer{bytes.data(), bytes.size()};
    std::ostringstream out;
    switch (layout) {
    case Layout::HEADER: {
        const PayloadAnswer::Header h = PayloadAnswer::header(answer);
        out << "pack " << +h.pack << ", device " << +h.address << ", status " << +h.status;
        break;
    }
    case Layout::DEVICE_INFO: {
        const DeviceInfo d = PayloadAnswer::deviceInfo(answer);
        out << "device " << +d.address << ", " << +d.versionMajor << "." << +d.versionMinor << ", fields "
            << +d.fieldCount << ", reserved " << hexBytes(d.reserved1, 2) << " / " << hexBytes(d.reserved2, 4)
            << ", name " << nameOf(d.name, sizeof d.name, d.nameLength);
        break;
    }
    case Layout::FIELD_INFO: {
        const FieldInfo f = PayloadAnswer::fieldInfo(answer);
        out << "type " << +f.type << ", name " << nameOf(f.name, sizeof f.name, f.nameLength);
        break;
    }
    case Layout::FIELD_VALUE: {
        const PayloadAnswer::FieldValue v = PayloadAnswer::fieldValue(answer);
        out << hexBytes(v.bytes, sizeof v.bytes);
        break;
    }
    case Layout::FILE_INFO: {
        const PayloadAnswer::FileInfo f = PayloadAnswer::fileInfo(answer);
        char checksum[16];
        std::snprintf(checksum, sizeof checksum, "%X", f.checksum);
        out << "size " << f.size << ", checksum 0x" << checksum;
        break;
    }
    }
    return out.str();
}

struct AnswerCase {
    const char* name;
    Layout layout;
    Bytes bytes;
    std::string expected;
    friend void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }
};

class AnswerLayout : public testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerLayout, ReadsTheFieldsAtTheirOffsets) {
    const AnswerCase& c = GetParam();
    EXPECT_EQ(describe(c.layout, c.bytes), c.expected);
}

const std::string kLongName(70, 'n');

INSTANTIATE_TEST_SUITE_P(
    Table, AnswerLayout,
    testing::Values(
        AnswerCase{"header", Layout::HEADER, {0x05, 0x07, 0x00}, "pack 5, device 7, status 0"},
        AnswerCase{
            "headerWithErrorCode", Layout::HEADER, {0x01, 0x02, 0x21, 0x44}, "pack 1, device 2, status 33"},
        AnswerCase{"headerCutShort", Layout::HEADER, {0x09}, "pack 9, device 0, status 0"},
        AnswerCase{"deviceInfo", Layout::DEVICE_INFO,
                   join({{0x01, 0x05, 0x00, 0x02, 0x0D, 0xA1, 0xA2, 0x04, 0xB1, 0xB2, 0xB3, 0xB4, 0x06},
                         text("beacon"),
                         Bytes(57, 0)}),
                   "device 5, 2.13, fields 4, reserved a1 a2 / b1 b2 b3 b4, name \"beacon\" (6)"},
        // Positions the answer does not carry read as zero, never as an earlier frame's bytes.
        AnswerCase{"deviceInfoEndingInsideItsName", Layout::DEVICE_INFO,
                   join({{0x01, 0x05, 0x00, 0x02, 0x0D, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x0A},
                         text("bea")}),
                   "device 5, 2.13, fields 4, reserved 00 00 / 00 00 00 00, name \"bea\" (10)"},
        AnswerCase{"deviceInfoOfHeaderOnly",
                   Layout::DEVICE_INFO,
                   {0x01, 0x09, 0x00},
                   "device 9, 0.0, fields 0, reserved 00 00 / 00 00 00 00, name \"\" (0)"},
        AnswerCase{"deviceInfoNameLongerThanTheRecord", Layout::DEVICE_INFO,
                   join({{0x01, 0x05, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xC8},
                         text(kLongName)}),
                   "device 5, 1.0, fields 1, reserved 00 00 / 00 00 00 00, name \"" + std::string(62, 'n') +
                       "\" (62)"},
        AnswerCase{"fieldInfo", Layout::FIELD_INFO, join({{0x02, 0x05, 0x00, 0x08, 0x05}, text("erase")}),
                   "type 8, name \"erase\" (5)"},
        AnswerCase{"fieldInfoNameFillingTheRecord", Layout::FIELD_INFO,
                   join({{0x02, 0x05, 0x00, 0x03, 0x3E}, text(std::string(62, 'f'))}),
                   "type 3, name \"" + std::string(62, 'f') + "\" (62)"},
        AnswerCase{"fieldInfoNameTooLongIsLeftOut", Layout::FIELD_INFO,
                   join({{0x02, 0x05, 0x00, 0x03, 0x3F}, text(std::string(63, 'f'))}),
                   "type 3, name \"\" (0)"},
        AnswerCase{"fieldInfoEndingInsideItsName", Layout::FIELD_INFO,
                   join({{0x02, 0x05, 0x00, 0x04, 0x06}, text("era")}), "type 4, name \"era\" (6)"},
        // The value starts after the field number.
        AnswerCase{"fieldValue",
                   Layout::FIELD_VALUE,
                   {0x03, 0x05, 0x00, 0x02, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09},
                   "01 02 03 04 05 06 07 08"},
        AnswerCase{"fieldValueCutShort",
                   Layout::FIELD_VALUE,
                   {0x03, 0x05, 0x00, 0x02, 0xAA, 0xBB},
                   "aa bb 00 00 00 00 00 00"},
        AnswerCase{"fileInfo",
                   Layout::FILE_INFO,
                   {0x04, 0x05, 0x00, 0x00, 0x45, 0x23, 0x01, 0x00, 0xEF, 0xBE, 0xAD, 0xDE},
                   "size 74565, checksum 0xDEADBEEF"},
        AnswerCase{"fileInfoCutShort",
                   Layout::FILE_INFO,
                   {0x04, 0x05, 0x00, 0x00, 0x45, 0x23},
                   "size 9029, checksum 0x0"}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

} // namespace
