#include "control/BeaconSession.h"

#include "control/WindowLines.h"
#include "core/LoggerManager.h"
#include "core/SteadyClock.h"
#include "espflash/EspSerialFlasher.h"

#include <system_error>
#include <utility>

namespace {

using WindowLines::kPrefix;
using Lock = std::lock_guard<std::recursive_mutex>;
using Job = LineOwner::Job;

} // namespace

BeaconSession::BeaconSession(std::function<void()> onEspFlashReport, std::unique_ptr<Clock> clock)
    : payloadHandler(std::make_unique<PayloadHandler>()),
      serialListener(std::make_unique<Listener>(usbCommunication, *payloadHandler)),
      serialSender(std::make_unique<Sender>(*payloadHandler, usbCommunication)),
      deviceHandler(&payloadHandler->deviceHandler), logger(&LoggerManager::getInstance()),
      uploadClock(clock ? std::move(clock) : std::make_unique<SteadyClock>()),
      fieldWriter(
          *deviceHandler,
          [this](std::uint8_t address, std::uint8_t index) { serialSender->setFieldValue(address, index); }),
      stm32UploadJob(*payloadHandler, line, upload, fieldWriter, uploadSteps(), *uploadClock),
      espFlashJob(
          line, upload,
          [this](const std::vector<std::uint8_t>& image, const TaviskEspSerialFlasher::FlashOptions& options,
                 const EspFlashJob::Progress& progress,
                 std::string* error) { return flashOverLink(image, options, progress, error); },
          std::move(onEspFlashReport)),
      reconnectJob(reconnectSteps(), std::make_unique<SteadyClock>()) {}

BeaconSession::~BeaconSession() {
    shutdown();
}

void BeaconSession::shutdown() {
    espFlashJob.waitForEnd();
    reconnectJob.cancelAndJoin();
    stm32UploadJob.stop();
    serialListener->terminate();
    serialSender->terminate();
}

Stm32UploadJob::Steps BeaconSession::uploadSteps() {
    Stm32UploadJob::Steps steps;
    steps.linkUp = [this] { return usbCommunication.isConnected(); };
    steps.startWorkers = [this] { return startWorkers(); };
    steps.search = [this] { serialSender->search(); };
    steps.askFields = [this](std::uint8_t address) { serialSender->getInfoFields(address); };
    return steps;
}

std::string BeaconSession::abandonedJobText() {
    if (line.running() == Job::STM32_UPLOAD)
        stm32UploadJob.finishIfConfirmed();
    switch (line.running()) {
    case Job::NONE:
        return {};
    case Job::STM32_UPLOAD:
        return stm32UploadJob.abandonedText();
    case Job::ESP32_FLASH:
        return "an ESP32 flash at " + std::to_string(espFlashJob.percent()) +
               " %: the program ends once the flash has ended";
    case Job::RECONNECT:
        return "a reconnect after a reboot: it is abandoned and the link stays closed";
    default:
        return LineOwner::name(line.running());
    }
}

std::uint8_t BeaconSession::currentDeviceAddress() const {
    return deviceHandler->currentAddress.load();
}

bool BeaconSession::startWorkers() {
    // A system out of threads refuses the job; it must not end the program.
    try {
        serialListener->start(false);
        serialSender->start(false);
        return true;
    } catch (const std::system_error& error) {
        logger->log(std::string("The listener and the sender could not start: ") + error.what(),
                    BaseLogger::ERROR, kPrefix);
        return false;
    }
}

template <typename Request> void BeaconSession::asDeviceRequest(const char* what, Request request) {
    const LineOwner::Claim claim(line, Job::DEVICE_REQUEST, what);
    if (claim)
        request();
}

// --- the connection dialog ------------------------------------------------------------------

std::vector<std::string> BeaconSession::listPorts() {
    // Listing looks at the system, not at the line: no job is disturbed by it.
    return usbCommunication.listPorts();
}

LinkStatus BeaconSession::connectPort(const std::string& portName, UsbTypes::Baudrate rate) {
    const LineOwner::Claim claim(line, Job::CONNECT, "Connect");
    return claim ? usbCommunication.connectPort(portName, rate) : LINK_OPEN_FAILED;
}

LinkStatus BeaconSession::disconnect() {
    const LineOwner::Claim claim(line, Job::DISCONNECT, "Disconnect");
    return claim ? usbCommunication.disconnect() : LINK_CLOSE_FAILED;
}

bool BeaconSession::busy() {
    return line.running() != Job::NONE;
}

// --- registry handlers ----------------------------------------------------------------------

BeaconSession::Status BeaconSession::searchDevices() {
    const LineOwner::Claim claim(line, Job::SEARCH, "Device search");
    if (!claim)
        return GlobalHandlerEvents::FAILURE;
    // A search starts the model afresh, also one that finds no link to go out on; nothing
    // else may empty it while a job relies on it.
    deviceHandler->clearDeviceList();
    if (!usbCommunication.isConnected()) {
        logger->log(
            "Search devices requested, but there is no active COM/USB connection. Open the Connection "
            "dialog and connect first.",
            BaseLogger::ERROR, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    logger->log("Searching devices...", BaseLogger::INFO, kPrefix);
    if (!startWorkers())
        return GlobalHandlerEvents::FAILURE;
    serialSender->search();
    return GlobalHandlerEvents::SUCCESS;
}

BeaconSession::Status BeaconSession::getInfoFields() {
    logger->log("Trying get device field info", BaseLogger::INFO, kPrefix);
    if (!usbCommunication.isConnected())
        return GlobalHandlerEvents::FAILURE;
    const std::uint8_t address = currentDeviceAddress();
    bool known = false;
    {
        Lock lock(deviceHandler->getMutex());
        known = deviceHandler->getDeviceList()->count(static_cast<std::uint32_t>(address)) > 0;
    }
    if (!known) {
        logger->log("Device list didn't contain choosed device", BaseLogger::ERROR, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    serialSender->getInfoFields(address);
    return GlobalHandlerEvents::SUCCESS;
}

BeaconSession::Status BeaconSession::setCurrentDeviceAddr() {
    {
        Lock lock(deviceHandler->getMutex());
        if (deviceHandler->getDeviceList()->empty())
            return GlobalHandlerEvents::FAILURE;
    }
    logger->log("Current device address was set", BaseLogger::DEBUG, kPrefix);
    GlobalHandlerEvents::getInstance()._executeHandler(GET_INFO_FIELDS_RESPOND);
    return GlobalHandlerEvents::SUCCESS;
}

BeaconSession::Status BeaconSession::loadFirmware() {
    return stm32UploadJob.loadFirmware();
}

// --- STM32 upload ----------------------------------------------------------------------------

bool BeaconSession::startStm32Upload(const std::string& path, std::string* refusal) {
    return stm32UploadJob.start(path, refusal);
}

BeaconSession::UploadTick BeaconSession::tickStm32Upload() {
    return stm32UploadJob.tick();
}

BeaconSession::UploadTick BeaconSession::finishConfirmedStm32Upload() {
    return stm32UploadJob.finishIfConfirmed();
}

// --- ESP32 flash -----------------------------------------------------------------------------

bool BeaconSession::startEsp32Flash(const std::string& path, std::string* refusal) {
    return espFlashJob.start(path, refusal);
}

bool BeaconSession::flashOverLink(const std::vector<std::uint8_t>& image,
                                  const TaviskEspSerialFlasher::FlashOptions& options,
                                  const EspFlashJob::Progress& progress, std::string* error) {
    // The flash needs the line to itself, and what the engine still waited for is void once
    // the ESP32 has been switched over: the next search or upload starts afresh.
    serialListener->terminate();
    serialSender->terminate();
    payloadHandler->resetState();
    return TaviskEspSerialFlasher::flashImage(usbCommunication, image, options, progress, error);
}

// --- device maintenance ----------------------------------------------------------------------

void BeaconSession::startPayloadListener() {
    asDeviceRequest("Starting the listener", [this] { serialListener->start(false); });
}

void BeaconSession::startPayloadSender() {
    asDeviceRequest("Starting the sender", [this] { serialSender->start(false); });
}

void BeaconSession::stopPayloadListener() {
    asDeviceRequest("Stopping the listener", [this] { serialListener->stop(); });
}

void BeaconSession::stopPayloadSender() {
    asDeviceRequest("Stopping the sender", [this] { serialSender->stop(); });
}

void BeaconSession::terminatePayloadListener() {
    asDeviceRequest("Ending the listener", [this] { serialListener->terminate(); });
}

void BeaconSession::terminatePayloadSender() {
    asDeviceRequest("Ending the sender", [this] { serialSender->terminate(); });
}

void BeaconSession::searchPayloadDevices() {
    asDeviceRequest("Device info request", [this] { serialSender->search(); });
}

void BeaconSession::getInfoFieldsRespond() {
    asDeviceRequest("Fields info request", [this] { serialSender->getInfoFields(currentDeviceAddress()); });
}

void BeaconSession::setDeviceDfuMode() {
    asDeviceRequest("Device update mode request", [this] {
        logger->log("set device to DFU mode", BaseLogger::INFO, WindowLines::kSenderPrefix);
        std::uint8_t address = currentDeviceAddress();
        payloadHandler->onMessage(MSG_DFU, &address);
        payloadHandler->generateResponse(MSG_DFU, nullptr);
    });
}

void BeaconSession::setFieldValue(const void* value, unsigned long long index) {
    asDeviceRequest("Field write", [&] {
        FieldWriter::Target write;
        write.address = currentDeviceAddress();
        write.index = index;
        write.noDevice = "device didn't exist for set field value";
        write.noField = "field didn't exist for set field value";
        fieldWriter.write(write, value);
    });
}

void BeaconSession::rebootDevice() {
    // The reboot and the reconnect after it are one job: nothing else may use the line between.
    LineOwner::Claim claim(line, Job::RECONNECT, "Device reboot");
    if (!claim)
        return;
    FieldWriter::Target reboot;
    reboot.address = currentDeviceAddress();
    reboot.name = "reboot";
    reboot.noDevice = "device didn't exist for reboot";
    reboot.noField = "choose field didn't exist";
    reboot.noFieldType = BaseLogger::WARNING;
    // A little-endian 1 of 8 bytes: the field keeps as many as its type has.
    const std::uint8_t one[8] = {1};
    if (fieldWriter.write(reboot, one) && startReconnect())
        claim.keep();
}

void BeaconSession::scheduleSerialReconnectAfterReboot() {
    if (usbCommunication.getConnectionMethod() != UsbCommunication::COM)
        return;
    LineOwner::Claim claim(line, Job::RECONNECT, "Reconnect");
    if (claim && startReconnect())
        claim.keep();
}

bool BeaconSession::startReconnect() {
    return usbCommunication.getConnectionMethod() == UsbCommunication::COM && reconnectJob.schedule();
}

ReconnectJob::Steps BeaconSession::reconnectSteps() {
    ReconnectJob::Steps steps;
    steps.stopWorkers = [this] {
        serialSender->terminate();
        serialListener->terminate();
        payloadHandler->resetState();
    };
    steps.disconnect = [this] { usbCommunication.disconnect(); };
    steps.connect = [this] { return usbCommunication.connect(UsbCommunication::COM) == LINK_OK; };
    steps.restartWorkers = [this] {
        if (startWorkers())
            serialSender->search();
    };
    steps.finished = [this] { line.release(Job::RECONNECT); };
    return steps;
}
