#include "tests/link/EngineTestSupport.h"

#include <algorithm>
#include <cstring>

namespace tavisk::test {

std::uint8_t referenceCrc8(const Bytes& data) {
    std::uint8_t crc = 0;
    for (std::uint8_t byte : data) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = ((crc ^ byte) & 1) != 0;
            crc >>= 1;
            if (mix)
                crc ^= 0x8C;
            byte >>= 1;
        }
    }
    return crc;
}

Bytes frameOf(const Bytes& payload) {
    Bytes frame(payload.size() + 3);
    frame[0] = 0x7E;
    frame[1] = static_cast<std::uint8_t>(payload.size() - 1);
    std::copy(payload.begin(), payload.end(), frame.begin() + 2);
    frame.back() = referenceCrc8(payload);
    return frame;
}

RegistryHooks& RegistryHooks::install() {
    static RegistryHooks hooks;
    static bool registered = false;
    if (!registered) {
        registered = true;
        GlobalHandlerEvents::addHandler(SET_CURRENT_DEVICE_ADDR, [] {
            ++hooks.currentDeviceCount;
            if (hooks.onCurrentDevice)
                hooks.onCurrentDevice();
            return GlobalHandlerEvents::SUCCESS;
        });
        GlobalHandlerEvents::addHandler(UPDATE_LOADING_STATUS, [] {
            ++hooks.loadingStatusCount;
            if (hooks.onLoadingStatus)
                hooks.onLoadingStatus();
            return GlobalHandlerEvents::SUCCESS;
        });
        GlobalHandlerEvents::addHandlerWithArgs<LoadStage>(
            UPLOAD_FIRMWARE, GlobalHandlerEvents::HandlerWithArgs<LoadStage>([](LoadStage stage) {
                hooks.uploads.push_back(stage);
                if (hooks.onUpload)
                    hooks.onUpload(stage);
                return GlobalHandlerEvents::SUCCESS;
            }));
    }
    hooks.onCurrentDevice = nullptr;
    hooks.onLoadingStatus = nullptr;
    hooks.onUpload = nullptr;
    hooks.currentDeviceCount = 0;
    hooks.loadingStatusCount = 0;
    hooks.uploads.clear();
    return hooks;
}

std::vector<SentFrame> drain(PayloadHandler& engine) {
    std::vector<SentFrame> frames;
    while (engine.getQueueSize() > 0) {
        const QueueItem item = engine.fetchToQueue();
        frames.push_back(SentFrame{Bytes(item.bytes(), item.bytes() + item.size), item.timeoutMs});
        engine.freeFrontFromQueue();
    }
    return frames;
}

Bytes deviceRecord(std::uint8_t pack, std::uint8_t address, std::uint8_t major, std::uint8_t minor,
                   std::uint8_t fieldCount, const std::string& name, std::uint8_t status) {
    Bytes answer(76, 0);
    answer[0] = pack;
    answer[1] = address;
    answer[2] = status;
    answer[3] = major;
    answer[4] = minor;
    answer[7] = fieldCount;
    answer[12] = static_cast<std::uint8_t>(name.size());
    for (std::size_t i = 0; i < name.size() && 13 + i < answer.size(); ++i)
        answer[13 + i] = static_cast<std::uint8_t>(name[i]);
    return answer;
}

Bytes fieldRecord(std::uint8_t pack, std::uint8_t address, std::uint8_t type, const std::string& name,
                  std::uint8_t status) {
    Bytes answer(5 + name.size());
    answer[0] = pack;
    answer[1] = address;
    answer[2] = status;
    answer[3] = type;
    answer[4] = static_cast<std::uint8_t>(name.size());
    std::copy(name.begin(), name.end(), answer.begin() + 5);
    return answer;
}

void addDevice(PayloadHandler& engine, std::uint8_t address, std::uint8_t fieldCount,
               const std::vector<std::pair<std::uint8_t, std::string>>& fields, std::uint8_t type) {
    DeviceInfo info;
    info.address = address;
    info.fieldCount = fieldCount;
    engine.deviceHandler.addDevice(info);
    for (const auto& field : fields) {
        FieldInfo fieldInfo;
        fieldInfo.type = type;
        fieldInfo.nameLength = static_cast<std::uint8_t>(field.second.size());
        std::memcpy(fieldInfo.name, field.second.data(), field.second.size());
        engine.deviceHandler.addDeviceField(address, field.first, fieldInfo);
    }
}

void answer(PayloadHandler& engine, const Bytes& payload) {
    const Bytes frame = frameOf(payload);
    engine.update(frame.data(), frame.size());
}

} // namespace tavisk::test
