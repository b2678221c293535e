#include "UploadRig.h"

#include <cstdio>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace tavisk::test {

namespace {

// The live rig; the stand-in's handlers do nothing while there is none.
// Guards `liveRig` against a rig being destroyed while a handler runs. Recursive: handlers
// fire one another (LOAD_FIRMWARE queues the erase request, which fires UPDATE_LOADING_STATUS).
std::recursive_mutex rigMutex;
UploadRig* liveRig = nullptr;

template <typename F> GlobalHandlerEvents::HandlerEventsStatus withRig(F f) {
    std::lock_guard<std::recursive_mutex> lock(rigMutex);
    if (liveRig)
        f(*liveRig);
    return GlobalHandlerEvents::SUCCESS;
}

} // namespace

UploadRig::UploadRig(unsigned baud, sim::BeaconConfig config)
    : device(std::make_shared<sim::SimBeacon>(std::move(config))), pty(baud), serialListener(usb, protocol),
      serialSender(protocol, usb) {
    pty.addPeer(device);
    registerStandIn();
    char name[] = "/tmp/tavisk-rig-image-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0)
        ::close(fd);
    path = name;
    std::lock_guard<std::recursive_mutex> lock(rigMutex);
    liveRig = this;
}

UploadRig::~UploadRig() {
    stop();
    {
        std::lock_guard<std::recursive_mutex> lock(rigMutex);
        if (liveRig == this)
            liveRig = nullptr;
    }
    std::remove(path.c_str());
}

void UploadRig::registerStandIn() {
    static std::once_flag once;
    std::call_once(once, [] {
        GlobalHandlerEvents::addHandler(SET_CURRENT_DEVICE_ADDR,
                                        [] { return withRig([](UploadRig& r) { r.onCurrentDevice(); }); });
        GlobalHandlerEvents::addHandler(UPDATE_LOADING_STATUS,
                                        [] { return withRig([](UploadRig& r) { r.onLoadingStatus(); }); });
        GlobalHandlerEvents::addHandlerWithArgs<LoadStage>(UPLOAD_FIRMWARE, [](LoadStage stage) {
            return withRig([stage](UploadRig& r) {
                if (stage == LOAD_FIRMWARE)
                    r.onLoadFirmware();
            });
        });
    });
}

void UploadRig::addDevice(std::shared_ptr<sim::SimBeacon> other) {
    pty.addPeer(std::move(other));
}

bool UploadRig::connect(std::string* error) {
    if (!pty.open(error))
        return false;
    usb.portName = pty.path();
    usb.baudrate = UsbTypes::BAUD_115200;
    if (usb.connect(UsbCommunication::COM) != LINK_OK) {
        if (error)
            *error = "cannot connect to " + pty.path();
        return false;
    }
    serialListener.start(false);
    serialSender.start(false);
    return true;
}

void UploadRig::stop() {
    serialListener.terminate();
    serialSender.terminate();
}

void UploadRig::setImage(const std::vector<std::uint8_t>& image) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    device->setExpectedImage(image);
}

// The main window's SET_CURRENT_DEVICE_ADDR handler and the GET_INFO_FIELDS_RESPOND that it
// fires: adopt the device just added and ask it for its field descriptions.
void UploadRig::onCurrentDevice() {
    current = protocol.deviceHandler.currentAddress.load();
    bool known = false;
    {
        std::lock_guard<std::recursive_mutex> lock(protocol.getMutex());
        known = protocol.deviceHandler.getDevice(current) != nullptr;
    }
    if (known)
        serialSender.getInfoFields(current);
}

void UploadRig::onLoadFirmware() {
    ++loadFirmware;
    FileRequest request;
    request.address = current;
    request.index = 0;
    request.path = path;
    protocol.onMessage(MSG_FIRMWARE_WRITE, &request);
    protocol.generateResponse(MSG_FILE_WRITE, nullptr);
}

void UploadRig::onLoadingStatus() {
    ++statusUpdates;
    if (protocol.transferPercent.load() == 100) {
        std::lock_guard<std::mutex> lock(endMutex);
        ended.notify_all();
    }
}

bool UploadRig::waitForTransferEnd(std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(endMutex);
    return ended.wait_for(lock, deadline, [this] { return protocol.transferPercent.load() == 100; });
}

bool UploadRig::discover(std::chrono::milliseconds deadline) {
    serialSender.search();
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until) {
        {
            std::lock_guard<std::recursive_mutex> lock(protocol.getMutex());
            App::Device* d = protocol.deviceHandler.getDevice(current);
            if (d && d->getFieldByName("erase"))
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool UploadRig::writeEraseCode() {
    const std::uint8_t address = current;
    std::uint64_t index = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(protocol.getMutex());
        App::Device* d = protocol.deviceHandler.getDevice(address);
        Field* field = d ? d->getFieldByName("erase") : nullptr;
        if (!field)
            return false;
        FieldInfo info = *field->getInfo();
        info.type = 8;
        field->setInfo(info);
        const std::uint32_t code = 0x2C71D94A;
        const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(code >> 8),
                                       static_cast<std::uint8_t>(code >> 16),
                                       static_cast<std::uint8_t>(code >> 24)};
        field->setData(true, bytes);
        index = d->getFieldIndexByName("erase");
    }
    serialSender.setFieldValue(address, static_cast<std::uint8_t>(index));
    return true;
}

} // namespace tavisk::test
