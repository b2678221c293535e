#pragma once

#include "tests/sim/pty/LinePeer.h"
#include "tests/sim/rom/SimRomLoader.h"

#include <functional>
#include <mutex>

namespace tavisk::sim {

// Serves a simulated ROM loader on a line transport (PtyLine, or the beacon's hand-over). The
// transport paces the line, so the model itself runs unpaced here. Tests reach the model
// through `with`, under the lock that the transport's thread also takes.
class SimRomPeer : public LinePeer {
public:
    explicit SimRomPeer(SimRomConfig config = SimRomConfig{});

    void receive(const std::uint8_t* data, std::size_t size, SimTime at) override;
    SimTime nextDue() const override;
    std::vector<Emission> takeDue(SimTime now) override;
    bool hangUpRequested() const override;

    // Runs `f` with the model while no transport call is in progress.
    void with(const std::function<void(SimRomLoader&)>& f);

private:
    // Guards the model: the transport's thread drives it while tests configure and read it.
    mutable std::mutex mutex;
    SimRomLoader model;
};

} // namespace tavisk::sim
