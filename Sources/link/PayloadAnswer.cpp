#include "link/PayloadAnswer.h"

namespace PayloadAnswer {

namespace {
constexpr std::size_t kNameRoom = sizeof(DeviceInfo::name) - 1; // 62 characters

// `count` bytes from `from` on.
template <typename Out> void copy(Bytes answer, std::size_t from, std::size_t count, Out* out) {
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<Out>(answer.at(from + i));
}

std::uint32_t le32(Bytes answer, std::size_t from) {
    return static_cast<std::uint32_t>(answer.at(from)) |
           static_cast<std::uint32_t>(answer.at(from + 1)) << 8 |
           static_cast<std::uint32_t>(answer.at(from + 2)) << 16 |
           static_cast<std::uint32_t>(answer.at(from + 3)) << 24;
}
} // namespace

Header header(Bytes answer) {
    return Header{answer.at(0), answer.at(1), answer.at(2)};
}

DeviceInfo deviceInfo(Bytes answer) {
    DeviceInfo info;
    info.address = answer.at(1);
    info.versionMajor = answer.at(3);
    info.versionMinor = answer.at(4);
    copy(answer, 5, sizeof info.reserved1, info.reserved1);
    info.fieldCount = answer.at(7);
    copy(answer, 8, sizeof info.reserved2, info.reserved2);
    info.nameLength = answer.at(12);
    copy(answer, 13, sizeof info.name, info.name);
    if (info.nameLength > kNameRoom)
        info.nameLength = kNameRoom;
    info.name[info.nameLength] = '\0';
    return info;
}

FieldInfo fieldInfo(Bytes answer) {
    FieldInfo info;
    info.type = answer.at(3);
    const std::uint8_t nameLength = answer.at(4);
    if (nameLength <= kNameRoom) {
        info.nameLength = nameLength;
        copy(answer, 5, nameLength, info.name);
    }
    return info;
}

FieldValue fieldValue(Bytes answer) {
    FieldValue value;
    copy(answer, 4, sizeof value.bytes, value.bytes);
    return value;
}

FileInfo fileInfo(Bytes answer) {
    return FileInfo{le32(answer, 4), le32(answer, 8)};
}

} // namespace PayloadAnswer
