#include "link/Device.h"

#include <cstring>

namespace App {

Device::Device(const DeviceInfo& deviceInfo, std::recursive_mutex& modelMutex)
    : info(deviceInfo), mutex(modelMutex) {
    // Callers read info.name as a C string: it stays terminated whatever the record held.
    info.name[sizeof(info.name) - 1] = '\0';
    if (info.nameLength != 0)
        name = info.name;
}

Device::~Device() {
    deleteFields();
}

void Device::addNewField(std::uint8_t index, FieldInfo fieldInfo) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (fields.count(index) != 0)
        return;
    fields[index] = new Field(index, fieldInfo);
}

Field* Device::getField(std::uint8_t index) const {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    auto it = fields.find(index);
    return it == fields.end() ? nullptr : it->second;
}

Field* Device::getFieldByName(const char* wanted) const {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const std::size_t wantedLength = strnlen(wanted, sizeof(FieldInfo::name));
    for (const auto& entry : fields) {
        const Field* field = entry.second;
        const char* stored = field->getName();
        std::size_t length = field->getNameLength();
        if (length > sizeof(FieldInfo::name) - 1)
            length = sizeof(FieldInfo::name) - 1;
        // An unnamed field would match every name: the erase code must never land in one.
        if (strnlen(stored, length) == 0)
            continue;
        // The stored length may count NULs after the name (a device that sends "erase" with
        // its terminator): past its end the wanted name reads as NULs, so those still match.
        bool same = true;
        for (std::size_t k = 0; k < length && same; ++k)
            same = stored[k] == (k < wantedLength ? wanted[k] : '\0');
        if (same)
            return entry.second;
    }
    return nullptr;
}

std::uint64_t Device::getFieldIndexByName(const char* wanted) const {
    const Field* field = getFieldByName(wanted);
    return field ? field->getIndex() : ~std::uint64_t{0};
}

void Device::setFieldValue(std::uint8_t index, const void* value) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (Field* field = getField(index))
        field->setData(false, value);
}

std::size_t Device::getFieldCount() const {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return fields.size();
}

void Device::setFieldValueLoaded(std::uint8_t) {
    // The device confirmed a written value: the field already holds it.
}

void Device::deleteFields() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    for (auto& entry : fields)
        delete entry.second;
    fields.clear();
}

} // namespace App
