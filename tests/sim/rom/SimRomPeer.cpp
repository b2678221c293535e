#include "tests/sim/rom/SimRomPeer.h"

namespace tavisk::sim {

namespace {
SimRomConfig unpaced(SimRomConfig config) {
    config.baud = 0;
    return config;
}
} // namespace

SimRomPeer::SimRomPeer(SimRomConfig config) : model(unpaced(std::move(config))) {}

void SimRomPeer::receive(const std::uint8_t* data, std::size_t size, SimTime at) {
    std::lock_guard<std::mutex> lock(mutex);
    model.receive(data, size, at.time_since_epoch());
}

SimTime SimRomPeer::nextDue() const {
    std::lock_guard<std::mutex> lock(mutex);
    const SimRomLoader::Time due = model.nextOutputAt();
    if (due == SimRomLoader::Time::max())
        return SimTime::max();
    return SimTime(std::chrono::duration_cast<SimClock::duration>(due));
}

std::vector<Emission> SimRomPeer::takeDue(SimTime now) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Emission> out;
    std::vector<std::uint8_t> bytes = model.takeOutput(now.time_since_epoch());
    if (!bytes.empty())
        out.push_back({now, std::move(bytes)});
    return out;
}

bool SimRomPeer::hangUpRequested() const {
    std::lock_guard<std::mutex> lock(mutex);
    return model.hangUpRequested();
}

void SimRomPeer::with(const std::function<void(SimRomLoader&)>& f) {
    std::lock_guard<std::mutex> lock(mutex);
    f(model);
}

} // namespace tavisk::sim
