#pragma once

#include "tests/control/SessionRig.h"
#include "tests/sim/beacon/SimBeacon.h"
#include "tests/sim/pty/PtyLine.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace tavisk::test {

// The STM32 road end to end on Linux: simulated beacons on a pseudo-terminal and the main
// window's session (SessionRig: real port, link, engine and workers) connected to it.
class UploadRig {
public:
    explicit UploadRig(unsigned baud = 0, sim::BeaconConfig config = sim::BeaconConfig());
    ~UploadRig();
    UploadRig(const UploadRig&) = delete;
    UploadRig& operator=(const UploadRig&) = delete;

    // Another device on the same line; before connect().
    void addDevice(std::shared_ptr<sim::SimBeacon> device);
    // Opens the line and connects the session to it.
    bool connect(std::string* error = nullptr);
    void stop() { sessionRig.stop(); }

    // The image to upload: written to a file for the engine and expected by the beacon.
    void setImage(const std::vector<std::uint8_t>& image);
    bool discover(std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
        return sessionRig.discover(deadline);
    }
    bool startUpload() { return sessionRig.startUpload(); }
    BeaconSession::UploadTick runUpload(std::chrono::milliseconds deadline,
                                        const std::function<void()>& between = {}) {
        return sessionRig.runUpload(deadline, between);
    }
    BeaconSession::UploadTick tick() { return sessionRig.tick(); }
    VirtualClock& clock() { return sessionRig.clock(); }
    bool waitForTransferEnd(std::chrono::milliseconds deadline) {
        return sessionRig.waitForTransferEnd(deadline);
    }

    sim::SimBeacon& beacon() { return *device; }
    sim::PtyLine& line() { return pty; }
    BeaconSession& session() { return sessionRig.session(); }
    UsbCommunication& link() { return sessionRig.link(); }
    PayloadHandler& engine() { return sessionRig.engine(); }
    Listener& listener() { return sessionRig.listener(); }
    Sender& sender() { return sessionRig.sender(); }
    int loadFirmwareCount() const { return sessionRig.loadFirmwareCount(); }
    // The file that setImage wrote and startUpload hands to the session.
    const std::string& imagePath() const { return sessionRig.imagePath(); }
    int statusUpdateCount() const { return sessionRig.statusUpdateCount(); }

private:
    std::shared_ptr<sim::SimBeacon> device;
    sim::PtyLine pty;
    // After the line, so that it is stopped and destroyed before the line goes.
    SessionRig sessionRig;
};

} // namespace tavisk::test
