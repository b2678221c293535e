#include "control/FieldWriter.h"

#include "control/WindowLines.h"
#include "core/LoggerManager.h"
#include "link/DeviceHandler.h"

#include <limits>
#include <mutex>
#include <string>
#include <utility>

namespace {
using WindowLines::kPrefix;
}

FieldWriter::FieldWriter(DeviceHandler& deviceModel, AskDevice ask)
    : logger(&LoggerManager::getInstance()), model(deviceModel), askDevice(std::move(ask)) {}

bool FieldWriter::write(const Target& target, const void* value, const std::function<bool(Field&)>& prepare) {
    // Under the model's lock from the look-up to the queued request: a search on another path
    // may empty the model.
    std::lock_guard<std::recursive_mutex> lock(model.getMutex());
    App::Device* device = model.getDevice(target.address);
    if (!device) {
        logger->log(target.noDevice, BaseLogger::ERROR, kPrefix);
        return false;
    }
    Field* field = target.name ? device->getFieldByName(target.name) : device->getField(target.index);
    if (!field) {
        logger->log(target.noField, target.noFieldType, kPrefix);
        return false;
    }
    if (prepare && !prepare(*field))
        return false;
    field->setData(true, value);
    std::uint64_t index = target.index;
    if (target.name) {
        index = device->getFieldIndexByName(target.name);
        if (index == std::numeric_limits<std::uint64_t>::max()) {
            logger->log(target.noField, target.noFieldType, kPrefix);
            return false;
        }
    }
    askDevice(target.address, static_cast<std::uint8_t>(index));
    return true;
}
