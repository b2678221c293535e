#pragma once

#include "PtyLine.h"
#include "SimBeacon.h"
#include "StandInWindow.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace tavisk::test {

// The STM32 road end to end on Linux: simulated beacons on a pseudo-terminal and the
// stand-in window (real port, link, engine and workers) connected to it.
class UploadRig {
public:
    explicit UploadRig(unsigned baud = 0, sim::BeaconConfig config = sim::BeaconConfig());
    ~UploadRig();
    UploadRig(const UploadRig&) = delete;
    UploadRig& operator=(const UploadRig&) = delete;

    // Another device on the same line; before connect().
    void addDevice(std::shared_ptr<sim::SimBeacon> device);
    // Opens the line and connects the stand-in window to it.
    bool connect(std::string* error = nullptr);
    void stop() { window.stop(); }

    // The image to upload: written to a file for the engine and expected by the beacon.
    void setImage(const std::vector<std::uint8_t>& image);
    bool discover(std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
        return window.discover(deadline);
    }
    bool writeEraseCode() { return window.writeEraseCode(); }
    bool waitForTransferEnd(std::chrono::milliseconds deadline) {
        return window.waitForTransferEnd(deadline);
    }

    sim::SimBeacon& beacon() { return *device; }
    sim::PtyLine& line() { return pty; }
    UsbCommunication& link() { return window.link(); }
    PayloadHandler& engine() { return window.engine(); }
    Listener& listener() { return window.listener(); }
    Sender& sender() { return window.sender(); }
    int loadFirmwareCount() const { return window.loadFirmwareCount(); }
    int statusUpdateCount() const { return window.statusUpdateCount(); }

private:
    std::shared_ptr<sim::SimBeacon> device;
    sim::PtyLine pty;
    // After the line, so that it is stopped and destroyed before the line goes.
    StandInWindow window;
};

} // namespace tavisk::test
