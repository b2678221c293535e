#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tavisk::test {

// What the accessibility interface tells of one widget.
struct AccessibleWidget {
    std::string role;                        // "push button", "label", "menu item", "table cell", ...
    std::string name;                        // of a label: its text
    int x = 0, y = 0, width = 0, height = 0; // on the screen
    bool showing = false;
    bool sensitive = false;
    int centerX() const { return x + width / 2; }
    int centerY() const { return y + height / 2; }
};

// Reads a running program's windows through the accessibility bus (AT-SPI), as a screen
// reader would: roles, names, places and states. The program needs nothing of its own
// for this; GTK exports its widgets once it finds the bus.
class AccessibleApp {
public:
    // Connects this process to the accessibility bus of the session bus at `busAddress`, once
    // per process (later calls only report the first result). The display is the one whose
    // programs are looked at.
    static bool connect(const std::string& busAddress, const std::string& display, std::string* error);

    explicit AccessibleApp(pid_t pid) : programPid(pid) {}

    // The program's widgets now, in the order of its trees (windows first); empty while the
    // program has not registered with the bus.
    std::vector<AccessibleWidget> widgets() const;
    // The first showing widget of this role and name.
    std::optional<AccessibleWidget> find(const std::string& role, const std::string& name) const;
    // The showing widgets of a role.
    std::vector<AccessibleWidget> all(const std::string& role) const;

private:
    pid_t programPid;
};

} // namespace tavisk::test
