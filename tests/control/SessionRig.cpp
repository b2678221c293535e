#include "tests/control/SessionRig.h"

#include "tests/support/Eventually.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace tavisk::test {

namespace {

// Guards `liveRig` against a rig being destroyed while a route runs. Recursive: the session's
// handlers fire further keys (SET_CURRENT_DEVICE_ADDR fires GET_INFO_FIELDS_RESPOND).
std::recursive_mutex liveMutex;
SessionRig* liveRig = nullptr;

template <typename F> GlobalHandlerEvents::HandlerEventsStatus withRig(F f) {
    std::lock_guard<std::recursive_mutex> lock(liveMutex);
    return liveRig ? f(*liveRig) : GlobalHandlerEvents::FAILURE;
}

} // namespace

SessionRig::SessionRig() : SessionRig(std::make_unique<VirtualClock>()) {}

SessionRig::SessionRig(std::unique_ptr<VirtualClock> clock)
    : uploadClock(clock.get()), windowSession({}, std::move(clock)) {
    registerRoutes();
    std::random_device seed;
    path =
        (std::filesystem::temp_directory_path() / ("tavisk-session-image-" + std::to_string(seed()) + ".bin"))
            .string();
    std::lock_guard<std::recursive_mutex> lock(liveMutex);
    liveRig = this;
}

SessionRig::~SessionRig() {
    stop();
    {
        std::lock_guard<std::recursive_mutex> lock(liveMutex);
        if (liveRig == this)
            liveRig = nullptr;
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

void SessionRig::registerRoutes() {
    static std::once_flag once;
    std::call_once(once, [] {
        GlobalHandlerEvents::addHandler(SET_CURRENT_DEVICE_ADDR, [] {
            return withRig([](SessionRig& rig) { return rig.windowSession.setCurrentDeviceAddr(); });
        });
        GlobalHandlerEvents::addHandler(GET_INFO_FIELDS_RESPOND, [] {
            return withRig([](SessionRig& rig) { return rig.windowSession.getInfoFields(); });
        });
        GlobalHandlerEvents::addHandler(UPDATE_LOADING_STATUS, [] {
            return withRig([](SessionRig& rig) {
                rig.onLoadingStatus();
                return GlobalHandlerEvents::SUCCESS;
            });
        });
        GlobalHandlerEvents::addHandlerWithArgs<LoadStage>(UPLOAD_FIRMWARE, [](LoadStage stage) {
            return withRig([stage](SessionRig& rig) {
                if (stage != LOAD_FIRMWARE || !rig.windowSession.isConnected())
                    return GlobalHandlerEvents::FAILURE;
                ++rig.loadFirmware;
                return rig.windowSession.loadFirmware();
            });
        });
    });
}

bool SessionRig::connect(const std::string& portName, std::string* error) {
    UsbCommunication& usb = windowSession.usbCommunication;
    usb.setPort(portName, UsbTypes::BAUD_115200);
    if (usb.connect(UsbCommunication::COM) != LINK_OK) {
        if (error)
            *error = "cannot connect to " + portName;
        return false;
    }
    windowSession.startPayloadListener();
    windowSession.startPayloadSender();
    return true;
}

void SessionRig::stop() {
    windowSession.shutdown();
}

void SessionRig::setImage(const std::vector<std::uint8_t>& image) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
}

void SessionRig::onLoadingStatus() {
    ++statusUpdates;
    if (engine().transferPercent.load() == 100) {
        std::lock_guard<std::mutex> lock(endMutex);
        ended.notify_all();
    }
}

bool SessionRig::waitForTransferEnd(std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(endMutex);
    return ended.wait_for(lock, deadline, [this] { return engine().transferPercent.load() == 100; });
}

bool SessionRig::discover(std::chrono::milliseconds deadline) {
    if (windowSession.searchDevices() != GlobalHandlerEvents::SUCCESS)
        return false;
    return eventually(
        [this] {
            std::lock_guard<std::recursive_mutex> lock(engine().getMutex());
            App::Device* d = engine().deviceHandler.getDevice(windowSession.currentDeviceAddress());
            return d && d->getFieldByName("erase");
        },
        deadline);
}

bool SessionRig::startUpload() {
    if (!windowSession.startStm32Upload(path))
        return false;
    const Stm32UploadJob& upload = windowSession.stm32Upload();
    BeaconSession::UploadTick next;
    do {
        waitOneTick();
        next = tick();
    } while (next.keepTicking && upload.eraseWait().isActive());
    // The tick that finds the field writes the code, resets the counter and keeps the upload
    // running. The engine framed the erase write last, or already the transfer that its
    // acknowledgement started.
    const MessageType framed = engine().lastFramed().type;
    return next.keepTicking && (framed == MSG_SET_FIELD || framed == MSG_FILE_WRITE) &&
           upload.eraseWait().ticks() == 0;
}

void SessionRig::waitOneTick() {
    std::this_thread::sleep_for(Stm32UploadJob::kTickInterval);
    uploadClock->advance(Stm32UploadJob::kTickInterval);
}

BeaconSession::UploadTick SessionRig::runUpload(std::chrono::milliseconds deadline,
                                                const std::function<void()>& between) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    BeaconSession::UploadTick next;
    while (std::chrono::steady_clock::now() < until) {
        next = tick();
        if (!next.keepTicking)
            return next;
        if (between)
            between();
        waitOneTick();
    }
    return next;
}

} // namespace tavisk::test
