#pragma once

#include "core/GlobalHandlerEvents.h"
#include "link/PayloadHandler.h"
#include "tests/support/TempFile.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavisk::test {

using Bytes = std::vector<std::uint8_t>;

// Bitwise CRC-8/MAXIM, written from the parameters, to check the table-driven one against.
std::uint8_t referenceCrc8(const Bytes& data);
// 7E, length - 1, payload, CRC: built here, independently of the production frame code.
Bytes frameOf(const Bytes& payload);

// The registry keeps the first handler of a key for the whole process; these hooks are
// registered once and forward to whatever the current test puts in them.
struct RegistryHooks {
    std::function<void()> onCurrentDevice;   // SET_CURRENT_DEVICE_ADDR
    std::function<void()> onLoadingStatus;   // UPDATE_LOADING_STATUS
    std::function<void(LoadStage)> onUpload; // UPLOAD_FIRMWARE
    int currentDeviceCount = 0;
    int loadingStatusCount = 0;
    std::vector<LoadStage> uploads;

    static RegistryHooks& install(); // registers once, resets the hooks and counters
};

// Takes every queued frame out of the engine, front to back.
struct SentFrame {
    Bytes bytes;
    std::uint32_t timeoutMs = 0;
    Bytes payload() const { return Bytes(bytes.begin() + 2, bytes.end() - 1); }
};
std::vector<SentFrame> drain(PayloadHandler& engine);

// A device-information answer payload.
Bytes deviceRecord(std::uint8_t pack, std::uint8_t address, std::uint8_t major, std::uint8_t minor,
                   std::uint8_t fieldCount, const std::string& name, std::uint8_t status = 0);
// A field-description answer payload.
Bytes fieldRecord(std::uint8_t pack, std::uint8_t address, std::uint8_t type, const std::string& name,
                  std::uint8_t status = 0);

// The model's device at `address`, with the given fields (index, name, type), added directly.
void addDevice(PayloadHandler& engine, std::uint8_t address, std::uint8_t fieldCount,
               const std::vector<std::pair<std::uint8_t, std::string>>& fields = {}, std::uint8_t type = 8);
// Frames the answer payload and feeds it to the engine.
void answer(PayloadHandler& engine, const Bytes& payload);

} // namespace tavisk::test
