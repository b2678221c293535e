#pragma once

#include <string>

namespace tavisk::test {

class PrivateDisplay;

// Steps through the program's window with X input events at places fixed by its layout, for
// callers that cannot read the window's widgets (the accessibility bridge off).

// Opens the Connection menu with the mouse and picks an item with the keys (xdotool names).
void pickFromConnectionMenu(const PrivateDisplay& display, const std::string& window,
                            const std::string& keys);

// Connection > Connect, then the dialog's Connect button (the left half of its button row),
// with the port and the baud rate that the dialog offers first (the last port listed, 115200).
// Empty on success, else what did not happen.
std::string connectWithDialogDefaults(const PrivateDisplay& display, const std::string& window);

} // namespace tavisk::test
