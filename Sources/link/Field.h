#pragma once

#include "link/FieldInfo.h"

#include <cstdint>

class LoggerManager;

// One field of a device: description, number on the device and a value of up to 8 bytes
// (little-endian, as frames carry it).
class Field {
public:
    enum FieldStatus : std::int32_t {
        FIELD_UNCHANGED = 0,         // the last value from the device equalled the stored one
        FIELD_SET_LOCALLY = 1,       // written by the application; sticks for good
        FIELD_CHANGED_BY_DEVICE = 2, // a value from the device differed from the stored one
    };

    Field(std::uint8_t index, FieldInfo info);

    FieldInfo* getInfo() { return &info; }
    const FieldInfo* getInfo() const { return &info; }
    // Replaces the description; the name stays NUL-terminated whatever the record holds.
    void setInfo(FieldInfo& newInfo) {
        info = newInfo;
        info.name[sizeof(info.name) - 1] = '\0';
    }
    const char* getName() const { return info.name; }
    std::uint8_t getNameLength() const { return info.nameLength; }
    std::uint8_t getType() const { return info.type; }
    std::uint8_t getIndex() const { return index; }
    // Value bytes of the type code: 1, 1, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8 for 0..11, else 0.
    std::uint8_t getTypeSize() const;
    static std::uint8_t typeSize(std::uint8_t typeCode);
    std::uint8_t* getData() { return data; }
    const std::uint8_t* getData() const { return data; }
    FieldStatus getStatus() const { return status; }

    // Stores getTypeSize() bytes from `value`: `force` for a value the application writes,
    // not `force` for one from the device (copied only when it differs).
    void setData(bool force, const void* value);
    void setNewStatus(FieldStatus newStatus);

private:
    FieldInfo info;
    std::uint8_t index;
    std::uint8_t data[8] = {};
    FieldStatus status = FIELD_UNCHANGED;
    LoggerManager* logger;
};
