#pragma once

#include <cstdint>

// The processor of the beacon that an image is for. The window records the choice, the
// selection box keeps a file per target, the target chooser lists them by name and the upload
// records the target it was started for.
enum class FirmwareTarget : std::int32_t { STM32 = 0, ESP32 = 1 };

// "STM32", "ESP32": as the target chooser lists them and the lines name them.
constexpr const char* firmwareTargetName(FirmwareTarget target) {
    return target == FirmwareTarget::ESP32 ? "ESP32" : "STM32";
}
