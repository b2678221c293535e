#pragma once

#include "link/LinkTypes.h"

#include <string>
#include <vector>

// What the connection dialog does with the line: list the ports, open one at a rate, close it.
// The device link offers it itself; the main window's session offers it on the link's behalf
// and refuses while another job has the line.
class LinkControl {
public:
    virtual ~LinkControl() = default;

    // The ports that can be chosen, as the system lists them now.
    virtual std::vector<std::string> listPorts() = 0;
    // Opens `portName` at `rate` by the COM method: LINK_OK or why not.
    virtual LinkStatus connectPort(const std::string& portName, UsbTypes::Baudrate rate) = 0;
    virtual LinkStatus disconnect() = 0;
    virtual bool isConnected() = 0;
    // Another job has the line: a request now is refused, with a line that says so, by the one
    // that owns the line. Callers then add no failure line of their own.
    virtual bool busy() = 0;
};
