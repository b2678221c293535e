#pragma once

#include "link/Device.h"
#include "link/DeviceInfo.h"
#include "link/FieldInfo.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class LoggerManager;

// Root of the device model: the devices that have answered, by address, each with its fields.
//
// Locking: one recursive mutex, shared with the protocol engine that holds this model, guards
// the model. Every operation here and every field operation of a device takes it; a caller
// that walks getDeviceList() or uses a device or field pointer from another thread than the
// listener holds getMutex() meanwhile, and may not keep such pointers across clearDeviceList. It is recursive
// because adding a device fires SET_CURRENT_DEVICE_ADDR, whose handler reads the model and queues a request
// on this thread.
class DeviceHandler {
public:
    DeviceHandler();
    ~DeviceHandler();
    DeviceHandler(const DeviceHandler&) = delete;
    DeviceHandler& operator=(const DeviceHandler&) = delete;

    // Adds a device and makes it current (firing SET_CURRENT_DEVICE_ADDR); a known address
    // only logs a warning and keeps the first record.
    void addDevice(DeviceInfo info);
    void addDeviceField(std::uint8_t address, std::uint8_t index, FieldInfo info);
    std::map<std::uint32_t, App::Device*>* getDeviceList() { return &devices; }
    // A copy of the map, taken under the lock; the pointers are the model's.
    std::map<std::uint32_t, App::Device*> copyDeviceList();
    // The devices' names in address order, copied under the lock: safe to keep on any thread.
    std::vector<std::string> copyDeviceNames();
    App::Device* getDevice(std::uint64_t address);
    void clearDeviceList();
    void setDeviceFieldValue(std::uint8_t address, std::uint8_t index, const void* value);
    void setDeviceFieldValueLoaded(std::uint8_t address, std::uint8_t index);
    void deleteFields(std::uint8_t address);

    std::recursive_mutex& getMutex() { return mutex; }

    // Address of the device added last; 0xFF (broadcast) until one is added.
    std::atomic<std::uint8_t> currentAddress{0xFF};

private:
    LoggerManager* logger;
    std::map<std::uint32_t, App::Device*> devices;
    std::recursive_mutex mutex;
};
