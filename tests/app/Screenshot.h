#pragma once

#include <string>

namespace tavisk::test {

// Saves a rectangle of an X display's screen as a PNG file; empty on success, else why not.
std::string saveScreenshot(const std::string& display, int x, int y, int width, int height,
                           const std::string& path);

} // namespace tavisk::test
