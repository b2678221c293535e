#include "control/BeaconSession.h"

#include "control/SteadySleeper.h"
#include "core/LoggerManager.h"
#include "espflash/EspSerialFlasher.h"

#include <limits>
#include <utility>

namespace {

const std::string kPrefix = "MainWindow: ";
const std::string kSenderPrefix = "SerialSender: ";
const char* const kNoImage = "File path is empty or did't exist";

using Lock = std::lock_guard<std::recursive_mutex>;

} // namespace

BeaconSession::BeaconSession(std::function<void()> onEspFlashReport)
    : logger(&LoggerManager::getInstance()),
      espFlashJob(
          [this](const std::string& path, const TaviskEspSerialFlasher::FlashOptions& options,
                 const EspFlashJob::Progress& progress,
                 std::string* error) { return flashOverLink(path, options, progress, error); },
          onEspFlashReport ? std::move(onEspFlashReport) : [] {}),
      reconnectJob(reconnectSteps(), std::make_unique<SteadySleeper>()) {}

BeaconSession::~BeaconSession() {
    shutdown();
}

void BeaconSession::initPayloadProtocol() {
    logger->log("Init Payload protocol", BaseLogger::DEBUG, kPrefix);
    // The workers use the engine: they go first.
    serialSender.reset();
    serialListener.reset();
    payloadHandler = std::make_unique<PayloadHandler>();
    serialListener = std::make_unique<Listener>(usbCommunication, *payloadHandler);
    serialSender = std::make_unique<Sender>(*payloadHandler, usbCommunication);
    deviceHandler = &payloadHandler->deviceHandler;
    currentDeviceAddress = deviceHandler->currentAddress.load();
}

void BeaconSession::shutdown() {
    espFlashJob.waitForEnd();
    reconnectJob.cancelAndJoin();
    eraseProbe.disarm();
    if (serialListener)
        serialListener->terminate();
    if (serialSender)
        serialSender->terminate();
}

std::shared_ptr<const FileRequest> BeaconSession::lastRequest() const {
    std::lock_guard<std::mutex> lock(requestMutex);
    return newestRequest;
}

std::shared_ptr<FileRequest> BeaconSession::newRequest(std::uint8_t index, const std::string& path) {
    auto request = std::make_shared<FileRequest>();
    request->address = currentAddressByte();
    request->index = index;
    request->path = path;
    std::lock_guard<std::mutex> lock(requestMutex);
    newestRequest = request;
    return request;
}

// --- registry handlers ----------------------------------------------------------------------

BeaconSession::Status BeaconSession::searchDevices() {
    if (!usbCommunication.isConnected()) {
        logger->log("Search devices requested, but there is no active COM/USB connection. Open the Connection "
                    "dialog and connect first.",
                    BaseLogger::ERROR, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    logger->log("Searching devices...", BaseLogger::INFO, kPrefix);
    startPayloadListener();
    startPayloadSender();
    serialSender->search();
    return GlobalHandlerEvents::SUCCESS;
}

BeaconSession::Status BeaconSession::getInfoFields() {
    if (!deviceHandler) {
        logger->log("deviceHandler doesn't exist!!!", BaseLogger::ERROR, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    logger->log("Trying get device field info", BaseLogger::INFO, kPrefix);
    if (!usbCommunication.isConnected())
        return GlobalHandlerEvents::FAILURE;
    const std::uint64_t address = currentDeviceAddress.load();
    bool known = false;
    {
        Lock lock(deviceHandler->getMutex());
        known = deviceHandler->getDeviceList()->count(static_cast<std::uint32_t>(address)) > 0;
    }
    if (!known) {
        logger->log("Device list didn't contain choosed device", BaseLogger::ERROR, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    serialSender->getInfoFields(static_cast<std::uint8_t>(address));
    return GlobalHandlerEvents::SUCCESS;
}

BeaconSession::Status BeaconSession::setCurrentDeviceAddr() {
    if (!deviceHandler) {
        logger->log("deviceHandler doesn't exist!!!", BaseLogger::ERROR, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    {
        Lock lock(deviceHandler->getMutex());
        if (deviceHandler->getDeviceList()->empty())
            return GlobalHandlerEvents::FAILURE;
        currentDeviceAddress = deviceHandler->currentAddress.load();
    }
    logger->log("Current device address was set", BaseLogger::DEBUG, kPrefix);
    GlobalHandlerEvents::getInstance()._executeHandler(GET_INFO_FIELDS_RESPOND);
    return GlobalHandlerEvents::SUCCESS;
}

BeaconSession::Status BeaconSession::loadFirmware() {
    // The upload that the erase belongs to decides, not the target chosen since.
    if (upload.get().target != RecordedUpload::ESP32) {
        logger->log("Load firmware", BaseLogger::INFO, kPrefix);
        writeFirmware();
    }
    return GlobalHandlerEvents::SUCCESS;
}

// --- STM32 upload ----------------------------------------------------------------------------

BeaconSession::Stm32Start BeaconSession::startStm32Upload(const std::string& path) {
    // Checked before anything is erased: a device erased for an image that cannot be sent
    // would be left without firmware.
    if (!upload.record(RecordedUpload::STM32, path)) {
        logger->log(kNoImage, BaseLogger::WARNING, kPrefix);
        return Stm32Start::REFUSED;
    }
    logger->log("Start upload", BaseLogger::INFO, kPrefix);
    logger->log("Erase firmware", BaseLogger::INFO, kPrefix);
    startPayloadListener();
    startPayloadSender();
    const bool needTimer = eraseProbe.arm(ERASE_FILE_0);
    serialSender->search();
    return needTimer ? Stm32Start::TIMER_NEEDED : Stm32Start::TIMER_RUNNING;
}

bool BeaconSession::probeStm32EraseReady() {
    EraseWait::Knowledge known;
    known.linkUp = usbCommunication.isConnected();
    known.modelPresent = deviceHandler != nullptr;
    if (deviceHandler) {
        Lock lock(deviceHandler->getMutex());
        App::Device* device = deviceHandler->getDevice(currentDeviceAddress.load());
        known.deviceKnown = device != nullptr;
        known.eraseFieldKnown = device && device->getFieldByName("erase");
    }
    const EraseWait::Step step = eraseProbe.tick(known);
    switch (step.request) {
    case EraseWait::Request::SEARCH:
        serialSender->search();
        break;
    case EraseWait::Request::FIELD_INFO:
        serialSender->getInfoFields(currentAddressByte());
        break;
    case EraseWait::Request::WRITE_ERASE:
        eraseMemorySector(eraseProbe.code(), "");
        break;
    case EraseWait::Request::NONE:
        break;
    }
    if (step.failure)
        logger->log(step.failure, BaseLogger::ERROR, kPrefix);
    return step.keepWaiting;
}

void BeaconSession::eraseMemorySector(EraseCmd cmd, const std::string& text) {
    const auto request = newRequest(eraseFileNumber(cmd), text);
    if (!deviceHandler) {
        logger->log("device didn't exist for erase request", BaseLogger::ERROR, kPrefix);
        return;
    }
    // Under the model's lock from the look-up to the queued request: a search on another
    // path may empty the model.
    Lock lock(deviceHandler->getMutex());
    App::Device* device = deviceHandler->getDevice(request->address);
    if (!device) {
        logger->log("device didn't exist for erase request", BaseLogger::ERROR, kPrefix);
        return;
    }
    Field* field = device->getFieldByName("erase");
    if (!field) {
        logger->log("erase field didn't exist", BaseLogger::ERROR, kPrefix);
        return;
    }
    FieldInfo* info = field->getInfo();
    if (!info) {
        logger->log("erase field info didn't exist", BaseLogger::ERROR, kPrefix);
        return;
    }
    // Whatever type the device described, the code goes out as 4 bytes, little-endian.
    FieldInfo fourBytes = *info;
    fourBytes.type = 8;
    field->setInfo(fourBytes);
    const std::uint32_t code = cmd;
    const std::uint8_t value[8] = {static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(code >> 8),
                                   static_cast<std::uint8_t>(code >> 16), static_cast<std::uint8_t>(code >> 24)};
    field->setData(true, value);
    const std::uint64_t index = device->getFieldIndexByName("erase");
    if (index == std::numeric_limits<std::uint64_t>::max()) {
        logger->log("erase field didn't exist", BaseLogger::ERROR, kPrefix);
        return;
    }
    serialSender->setFieldValue(request->address, static_cast<std::uint8_t>(index));
}

bool BeaconSession::writeFirmware() {
    const RecordedUpload::Record image = upload.get();
    if (image.path.empty()) {
        logger->log(kNoImage, BaseLogger::WARNING, kPrefix);
        return false;
    }
    const auto request = newRequest(image.target == RecordedUpload::ESP32 ? 2 : 0, image.path);
    logger->log("load device firmware", BaseLogger::INFO, kSenderPrefix);
    payloadHandler->onMessage(MSG_FIRMWARE_WRITE, request.get());
    payloadHandler->generateResponse(MSG_FILE_WRITE, nullptr);
    return true;
}

// --- ESP32 flash -----------------------------------------------------------------------------

bool BeaconSession::startEsp32Flash(const std::string& path) {
    if (!espFlashJob.start(path))
        return false;
    upload.record(RecordedUpload::ESP32, path);
    eraseProbe.disarm();
    return true;
}

bool BeaconSession::flashOverLink(const std::string& path, const TaviskEspSerialFlasher::FlashOptions& options,
                                  const EspFlashJob::Progress& progress, std::string* error) {
    // The flash needs the line to itself, and what the engine still waited for is void once
    // the ESP32 has been switched over: the next search or upload starts afresh.
    serialListener->terminate();
    serialSender->terminate();
    payloadHandler->resetState();
    return TaviskEspSerialFlasher::flashBinary(usbCommunication, path, options, progress, error);
}

// --- device maintenance ----------------------------------------------------------------------

void BeaconSession::searchPayloadDevices() {
    logger->log("device info request. Search device...", BaseLogger::INFO, kSenderPrefix);
    payloadHandler->onMessage(MSG_SEARCH_DEVICES, nullptr);
    payloadHandler->generateResponse(MSG_SEARCH_DEVICES, nullptr);
}

void BeaconSession::getInfoFieldsRespond() {
    logger->log("fields info request. Get fields...", BaseLogger::INFO, kSenderPrefix);
    std::uint8_t address = currentAddressByte();
    payloadHandler->onMessage(MSG_FIELD_INFO, &address);
    payloadHandler->generateResponse(MSG_FIELD_INFO, nullptr);
}

void BeaconSession::setDeviceDfuMode() {
    logger->log("set device to DFU mode", BaseLogger::INFO, kSenderPrefix);
    std::uint8_t address = currentAddressByte();
    payloadHandler->onMessage(MSG_DFU, &address);
    payloadHandler->generateResponse(MSG_DFU, nullptr);
}

void BeaconSession::setFieldValue(const void* value, unsigned long long index) {
    const std::uint8_t address = currentAddressByte();
    Lock lock(deviceHandler->getMutex());
    App::Device* device = deviceHandler->getDevice(currentDeviceAddress.load());
    if (!device) {
        logger->log("device didn't exist for set field value", BaseLogger::ERROR, kPrefix);
        return;
    }
    Field* field = device->getField(static_cast<std::uint8_t>(index));
    if (!field) {
        logger->log("field didn't exist for set field value", BaseLogger::ERROR, kPrefix);
        return;
    }
    field->setData(true, value);
    serialSender->setFieldValue(address, static_cast<std::uint8_t>(index));
}

void BeaconSession::rebootDevice() {
    const std::uint8_t address = currentAddressByte();
    {
        Lock lock(deviceHandler->getMutex());
        App::Device* device = deviceHandler->getDevice(currentDeviceAddress.load());
        if (!device) {
            logger->log("device didn't exist for reboot", BaseLogger::ERROR, kPrefix);
            return;
        }
        Field* field = device->getFieldByName("reboot");
        if (!field) {
            logger->log("choose field didn't exist", BaseLogger::WARNING, kPrefix);
            return;
        }
        const std::uint64_t index = device->getFieldIndexByName("reboot");
        const std::uint8_t one[8] = {1};
        field->setData(true, one);
        serialSender->setFieldValue(address, static_cast<std::uint8_t>(index));
    }
    scheduleSerialReconnectAfterReboot();
}

void BeaconSession::scheduleSerialReconnectAfterReboot() {
    if (usbCommunication.getConnectionMethod() != UsbCommunication::COM)
        return;
    reconnectJob.schedule();
}

ReconnectJob::Steps BeaconSession::reconnectSteps() {
    ReconnectJob::Steps steps;
    steps.stopWorkers = [this] {
        serialSender->terminate();
        serialListener->terminate();
        if (payloadHandler)
            payloadHandler->resetState();
    };
    steps.disconnect = [this] { usbCommunication.disconnect(); };
    steps.connect = [this] { return usbCommunication.connect(UsbCommunication::COM) == LINK_OK; };
    steps.restartWorkers = [this] {
        serialListener->start(false);
        serialSender->start(false);
        serialSender->search();
    };
    return steps;
}
