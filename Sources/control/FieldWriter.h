#pragma once

#include "core/BaseLogger.h"

#include <cstdint>
#include <functional>

class DeviceHandler;
class Field;
class LoggerManager;

// Writes one field of a device: the value goes into the device model, and the device is asked
// to take it (a set-field request). The upload's erase write and the maintenance writes (a
// field, the reboot) all go through it, each with the lines that say why it cannot be done.
//
// Called on the GUI thread; the look-up and the request are made under the model's lock.
class FieldWriter {
public:
    // A field of a device to write, and the lines that say why it cannot be.
    struct Target {
        std::uint8_t address = 0;
        const char* name = nullptr; // the field's name; null: by `index`
        std::uint64_t index = 0;    // beyond 255 no field has it: a request carries one byte
        const char* noDevice = "";  // ERROR when the device is not in the model
        const char* noField = "";   // when the device has no such field ...
        BaseLogger::MessageType noFieldType = BaseLogger::ERROR; // ... at this level
    };
    // Asks the device at `address` to take the value of its field `index` from the model.
    using AskDevice = std::function<void(std::uint8_t address, std::uint8_t index)>;

    FieldWriter(DeviceHandler& model, AskDevice askDevice);

    // Looks the field up, lets `prepare` adjust it (false: stop, it logged why), sets `value`
    // (as many bytes as the field's type has) and asks the device to take it; false, with its
    // line, when the request could not be made.
    bool write(const Target& target, const void* value, const std::function<bool(Field&)>& prepare = {});

private:
    LoggerManager* logger;
    DeviceHandler& model;
    AskDevice askDevice;
};
