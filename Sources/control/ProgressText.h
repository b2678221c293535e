#pragma once

#include <string>

// The text over the progress bar: the percentage while a load runs, the success text once
// the device has taken the whole image.
namespace ProgressText {

inline constexpr const char* kSuccess = "Устройство прошито успешно";

// "p%" below 100. At 100 and above the success text once the load has ended well, else "p%":
// an ESP32 flash reports 100 once the chip has confirmed the image, but its worker has not
// handed over the result yet, so the window waits for that. An STM32 transfer reaches 100
// only once the device confirmed the end, so it passes true.
std::string label(unsigned percent, bool endedWell);

} // namespace ProgressText
