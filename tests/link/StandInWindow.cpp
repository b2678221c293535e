#include "StandInWindow.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace tavisk::test {

namespace {

// Guards `liveWindow` against a stand-in being destroyed while a handler runs. Recursive:
// handlers fire one another (LOAD_FIRMWARE queues the erase request, which fires
// UPDATE_LOADING_STATUS).
std::recursive_mutex liveMutex;
StandInWindow* liveWindow = nullptr;

template <typename F> GlobalHandlerEvents::HandlerEventsStatus withWindow(F f) {
    std::lock_guard<std::recursive_mutex> lock(liveMutex);
    if (liveWindow)
        f(*liveWindow);
    return GlobalHandlerEvents::SUCCESS;
}

} // namespace

StandInWindow::StandInWindow() : serialListener(usb, protocol), serialSender(protocol, usb) {
    registerHandlers();
    std::random_device seed;
    path = (std::filesystem::temp_directory_path() /
            ("tavisk-stand-in-image-" + std::to_string(seed()) + ".bin"))
               .string();
    std::lock_guard<std::recursive_mutex> lock(liveMutex);
    liveWindow = this;
}

StandInWindow::~StandInWindow() {
    stop();
    {
        std::lock_guard<std::recursive_mutex> lock(liveMutex);
        if (liveWindow == this)
            liveWindow = nullptr;
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

void StandInWindow::registerHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        GlobalHandlerEvents::addHandler(SET_CURRENT_DEVICE_ADDR, [] {
            return withWindow([](StandInWindow& w) { w.onCurrentDevice(); });
        });
        GlobalHandlerEvents::addHandler(
            UPDATE_LOADING_STATUS, [] { return withWindow([](StandInWindow& w) { w.onLoadingStatus(); }); });
        GlobalHandlerEvents::addHandlerWithArgs<LoadStage>(UPLOAD_FIRMWARE, [](LoadStage stage) {
            return withWindow([stage](StandInWindow& w) {
                if (stage == LOAD_FIRMWARE)
                    w.onLoadFirmware();
            });
        });
    });
}

bool StandInWindow::connect(const std::string& portName, std::string* error) {
    usb.portName = portName;
    usb.baudrate = UsbTypes::BAUD_115200;
    if (usb.connect(UsbCommunication::COM) != LINK_OK) {
        if (error)
            *error = "cannot connect to " + portName;
        return false;
    }
    serialListener.start(false);
    serialSender.start(false);
    return true;
}

void StandInWindow::stop() {
    serialListener.terminate();
    serialSender.terminate();
}

void StandInWindow::setImage(const std::vector<std::uint8_t>& image) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
}

// The main window's SET_CURRENT_DEVICE_ADDR handler and the GET_INFO_FIELDS_RESPOND that it
// fires: adopt the device just added and ask it for its field descriptions.
void StandInWindow::onCurrentDevice() {
    current = protocol.deviceHandler.currentAddress.load();
    bool known = false;
    {
        std::lock_guard<std::recursive_mutex> lock(protocol.getMutex());
        known = protocol.deviceHandler.getDevice(current) != nullptr;
    }
    if (known)
        serialSender.getInfoFields(current);
}

void StandInWindow::onLoadFirmware() {
    ++loadFirmware;
    FileRequest request;
    request.address = current;
    request.index = 0;
    request.path = path;
    protocol.onMessage(MSG_FIRMWARE_WRITE, &request);
    protocol.generateResponse(MSG_FILE_WRITE, nullptr);
}

void StandInWindow::onLoadingStatus() {
    ++statusUpdates;
    if (protocol.transferPercent.load() == 100) {
        std::lock_guard<std::mutex> lock(endMutex);
        ended.notify_all();
    }
}

bool StandInWindow::waitForTransferEnd(std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(endMutex);
    return ended.wait_for(lock, deadline, [this] { return protocol.transferPercent.load() == 100; });
}

bool StandInWindow::discover(std::chrono::milliseconds deadline) {
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

bool StandInWindow::writeEraseCode() {
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
