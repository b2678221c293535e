#pragma once

#include "link/DeviceInfo.h"
#include "link/Field.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace App {

// One device of the model: its identity record and its fields, which it owns. Its field
// operations take the model's mutex (given by DeviceHandler), so a lookup on the GUI thread is
// safe while the listener adds fields; whoever keeps a returned Field* holds that mutex.
class Device {
public:
    Device(const DeviceInfo& info, std::recursive_mutex& modelMutex);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& getDeviceName() const { return name; }
    DeviceInfo* getInfo() { return &info; }
    const DeviceInfo* getInfo() const { return &info; }
    bool isBootable() const { return bootable; }
    void setDeviceBootable(bool value) { bootable = value; }

    // Adds a field unless one with that index exists (which then stays as it is).
    void addNewField(std::uint8_t index, FieldInfo fieldInfo);
    Field* getField(std::uint8_t index) const;
    // The first field, in index order, whose non-empty stored name is a prefix of `wanted`.
    Field* getFieldByName(const char* wanted) const;
    // That field's index, or all ones when none matches.
    std::uint64_t getFieldIndexByName(const char* wanted) const;
    void setFieldValue(std::uint8_t index, const void* value);
    void setFieldValueLoaded(std::uint8_t index);
    void deleteFields();
    std::size_t getFieldCount() const;
    // The map itself: hold the model's mutex while using it.
    const std::map<std::uint8_t, Field*>& getFields() const { return fields; }

private:
    bool bootable = false;
    DeviceInfo info;
    std::string name;
    std::map<std::uint8_t, Field*> fields;
    std::recursive_mutex& mutex;
};

} // namespace App
