#include "tests/control/UploadRig.h"

namespace tavisk::test {

UploadRig::UploadRig(unsigned baud, sim::BeaconConfig config)
    : device(std::make_shared<sim::SimBeacon>(std::move(config))), pty(baud) {
    pty.addPeer(device);
}

UploadRig::~UploadRig() {
    sessionRig.stop();
}

void UploadRig::addDevice(std::shared_ptr<sim::SimBeacon> other) {
    pty.addPeer(std::move(other));
}

bool UploadRig::connect(std::string* error) {
    return pty.open(error) && sessionRig.connect(pty.path(), error);
}

void UploadRig::setImage(const std::vector<std::uint8_t>& image) {
    sessionRig.setImage(image);
    device->setExpectedImage(image);
}

} // namespace tavisk::test
