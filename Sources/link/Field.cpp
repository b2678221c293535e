#include "link/Field.h"

#include "core/LoggerManager.h"

#include <cstring>
#include <string>

namespace {
const std::string kPrefix = "Field: ";
}

Field::Field(std::uint8_t fieldIndex, FieldInfo fieldInfo)
    : info(fieldInfo), index(fieldIndex), logger(&LoggerManager::getInstance()) {
    info.name[sizeof(info.name) - 1] = '\0';
}

std::uint8_t Field::typeSize(std::uint8_t typeCode) {
    static const std::uint8_t sizes[12] = {1, 1, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8};
    return typeCode < 12 ? sizes[typeCode] : 0;
}

std::uint8_t Field::getTypeSize() const {
    return typeSize(info.type);
}

void Field::setData(bool force, const void* value) {
    const std::size_t size = getTypeSize();
    if (force) {
        std::memcpy(data, value, size);
        status = FIELD_SET_LOCALLY;
    } else {
        FieldStatus next = FIELD_UNCHANGED;
        if (info.type <= 11 && std::memcmp(data, value, size) != 0) {
            std::memcpy(data, value, size);
            next = FIELD_CHANGED_BY_DEVICE;
        }
        setNewStatus(next);
    }
    if (LoggerManager::passes(logger->getGlobalLevel(), BaseLogger::INFO)) {
        const std::string name(info.name, strnlen(info.name, sizeof(info.name)));
        logger->log("current " + name + " field value is \"" +
                        std::to_string(static_cast<int>(static_cast<std::int8_t>(data[0]))) + "\"",
                    BaseLogger::INFO, kPrefix);
    }
}

void Field::setNewStatus(FieldStatus newStatus) {
    if (status != FIELD_SET_LOCALLY)
        status = newStatus;
}
