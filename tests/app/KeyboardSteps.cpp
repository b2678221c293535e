#include "tests/app/KeyboardSteps.h"

#include "tests/app/PrivateDisplay.h"

#include <chrono>
#include <cstdlib>

namespace tavisk::test {

using namespace std::chrono_literals;

void pickFromConnectionMenu(const PrivateDisplay& display, const std::string& window,
                            const std::string& keys) {
    display.run("xdotool mousemove --window " + window + " 20 10 click 1 sleep 0.2 key " + keys);
}

std::string connectWithDialogDefaults(const PrivateDisplay& display, const std::string& window) {
    std::string dialog;
    for (int attempt = 0; attempt < 3 && dialog.empty(); ++attempt) {
        pickFromConnectionMenu(display, window, "Down Return");
        if (!eventually([&] { return !(dialog = display.visibleWindow("Connection")).empty(); }, 10s,
                        kLookEvery))
            display.run("xdotool key Escape");
    }
    if (dialog.empty())
        return "the connection dialog never showed";
    const std::string geometry = display.run("xdotool getwindowgeometry --shell " + dialog);
    const std::size_t widthAt = geometry.find("WIDTH=");
    const std::size_t heightAt = geometry.find("HEIGHT=");
    if (widthAt == std::string::npos || heightAt == std::string::npos)
        return "no geometry of the connection dialog: " + geometry;
    const int width = std::atoi(geometry.c_str() + widthAt + 6);
    const int height = std::atoi(geometry.c_str() + heightAt + 7);
    display.run("xdotool mousemove --window " + dialog + " " + std::to_string(width / 4) + " " +
                std::to_string(height - 12) + " click 1");
    if (!eventually([&] { return display.visibleWindow("Connection").empty(); }, 20s, kLookEvery))
        return "the connection dialog stayed open after its Connect button";
    return {};
}

} // namespace tavisk::test
