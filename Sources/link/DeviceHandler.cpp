#include "link/DeviceHandler.h"

#include "core/GlobalHandlerEvents.h"
#include "core/LoggerManager.h"

#include <string>

namespace {
const std::string kPrefix = "DeviceHandler: ";
}

DeviceHandler::DeviceHandler() : logger(&LoggerManager::getInstance()) {}

DeviceHandler::~DeviceHandler() {
    clearDeviceList();
}

void DeviceHandler::addDevice(DeviceInfo info) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const std::uint32_t address = info.address;
    if (devices.count(address) != 0) {
        logger->log("device with address " + std::to_string(address) + " already exists", BaseLogger::WARNING,
                    kPrefix);
        return;
    }
    currentAddress = info.address;
    devices[address] = new App::Device(info, mutex);
    GlobalHandlerEvents::getInstance()._executeHandler(SET_CURRENT_DEVICE_ADDR);
    logger->log("added device with address " + std::to_string(address), BaseLogger::INFO, kPrefix);
}

void DeviceHandler::addDeviceField(std::uint8_t address, std::uint8_t index, FieldInfo info) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (App::Device* device = getDevice(address))
        device->addNewField(index, info);
}

std::map<std::uint32_t, App::Device*> DeviceHandler::copyDeviceList() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return devices;
}

std::vector<std::string> DeviceHandler::copyDeviceNames() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    std::vector<std::string> names;
    names.reserve(devices.size());
    for (const auto& entry : devices)
        names.push_back(entry.second->getDeviceName());
    return names;
}

App::Device* DeviceHandler::getDevice(std::uint64_t address) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    auto it = devices.find(static_cast<std::uint32_t>(address));
    return it == devices.end() ? nullptr : it->second;
}

void DeviceHandler::clearDeviceList() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    for (auto& entry : devices)
        delete entry.second;
    devices.clear();
}

void DeviceHandler::setDeviceFieldValue(std::uint8_t address, std::uint8_t index, const void* value) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (App::Device* device = getDevice(address))
        device->setFieldValue(index, value);
}

void DeviceHandler::setDeviceFieldValueLoaded(std::uint8_t address, std::uint8_t index) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (App::Device* device = getDevice(address))
        device->setFieldValueLoaded(index);
}

void DeviceHandler::deleteFields(std::uint8_t address) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (App::Device* device = getDevice(address)) {
        device->deleteFields();
        device->getInfo()->fieldCount = 0;
    }
}
