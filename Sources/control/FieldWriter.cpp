#include "control/FieldWriter.h"

#include "control/WindowLines.h"
#include "core/LoggerManager.h"
#include "link/DeviceHandler.h"

#include <mutex>
#include <string>
#include <utility>

namespace {
using WindowLines::kPrefix;
constexpr std::uint64_t kMaxIndex = 0xFF;
} // namespace

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
    Field* field = nullptr;
    if (target.name)
        field = device->getFieldByName(target.name);
    else if (target.index <= kMaxIndex) // cut to its low byte, a larger one would name another field
        field = device->getField(static_cast<std::uint8_t>(target.index));
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
        if (index > kMaxIndex) {
            logger->log(target.noField, target.noFieldType, kPrefix);
            return false;
        }
    }
    askDevice(target.address, static_cast<std::uint8_t>(index));
    return true;
}
