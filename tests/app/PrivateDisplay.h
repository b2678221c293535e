#pragma once

#include "tests/support/Eventually.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace tavisk::test {

// What the program shows is looked at this often: each look asks the X server or the
// accessibility bus, or starts xdotool.
constexpr std::chrono::milliseconds kLookEvery{50};

// An X server of the caller's own (Xvfb, 1280x1024, 24 bits): other GUI tests running at the
// same time neither get its input events nor are taken for its windows.
//
// The server runs with -noreset. Without it, the server resets whenever its last client
// leaves, and a client that connects during that reset is dropped ("cannot open display"):
// a program starting while a poll of xdotool has just disconnected would fail now and then,
// the more often the slower it starts (under a sanitizer, on a loaded machine).
class PrivateDisplay {
public:
    PrivateDisplay();
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    // ":N"; empty when the server did not start.
    const std::string& name() const { return displayName; }
    // Whether the server accepts a client, tried until the deadline.
    bool answers(std::chrono::milliseconds deadline) const;
    // The standard output of a shell command (xdotool, ...) run with DISPLAY set to this one.
    std::string run(const std::string& command) const;
    // The first visible top-level window with exactly this title; empty when there is none.
    std::string visibleWindow(const std::string& title) const;
    // A click of the first button at a point of the screen.
    void click(int x, int y) const;
    void doubleClick(int x, int y) const;

private:
    std::string displayName;
    pid_t server = -1;
};

} // namespace tavisk::test
