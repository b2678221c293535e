#include "control/BeaconSession.h"

#include "core/LoggerManager.h"
#include "core/SteadyClock.h"
#include "espflash/EspSerialFlasher.h"

#include <limits>
#include <system_error>
#include <utility>

namespace {

const std::string kPrefix = "MainWindow: ";
const std::string kSenderPrefix = "SerialSender: ";
const char* const kNoImage = "File path is empty or did't exist";
const std::string kUploadFailed = "STM32 upload failed: ";
const std::string kFlashFailed = "ESP32 flashing failed: ";

using Lock = std::lock_guard<std::recursive_mutex>;
using Job = LineOwner::Job;

} // namespace

BeaconSession::BeaconSession(std::function<void()> onEspFlashReport)
    : logger(&LoggerManager::getInstance()),
      espFlashJob(
          [this](const std::string& path, const TaviskEspSerialFlasher::FlashOptions& options,
                 const EspFlashJob::Progress& progress,
                 std::string* error) { return flashOverLink(path, options, progress, error); },
          [this, report = std::move(onEspFlashReport)] {
              // The last report of a flash comes once its worker is done with the line.
              if (espFlashJob.finished())
                  line.release(Job::ESP32_FLASH);
              if (report)
                  report();
          }),
      reconnectJob(reconnectSteps(), std::make_unique<SteadyClock>()) {}

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
    if (payloadHandler) {
        Lock lock(payloadHandler->getMutex());
        stm32Phase = Stm32Phase::IDLE;
    }
    line.release(Job::STM32_UPLOAD);
    if (serialListener)
        serialListener->terminate();
    if (serialSender)
        serialSender->terminate();
}

std::string BeaconSession::abandonedJobText() {
    switch (line.running()) {
    case Job::NONE:
        return {};
    case Job::STM32_UPLOAD: {
        Lock lock(payloadHandler->getMutex());
        switch (stm32Phase) {
        case Stm32Phase::IDLE:
        case Stm32Phase::ERASE_WAIT:
            return "an STM32 upload before the erase was written: the upload is abandoned and nothing was changed on "
                   "the device";
        case Stm32Phase::ERASE_WRITTEN:
            return "an STM32 upload while the device erases: the upload is abandoned and the device may be left "
                   "erased, without its image";
        case Stm32Phase::TRANSFER:
            break;
        }
        return "an STM32 upload at " + std::to_string(payloadHandler->transferPercent.load()) +
               " %: the upload is abandoned and the device is left without its whole image";
    }
    case Job::ESP32_FLASH:
        return "an ESP32 flash at " + std::to_string(espFlashJob.percent()) +
               " %: the program ends once the flash has ended";
    case Job::RECONNECT:
        return "a reconnect after a reboot: it is abandoned and the link stays closed";
    default:
        return LineOwner::name(line.running());
    }
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

bool BeaconSession::startWorkers() {
    // A system out of threads refuses the job; it must not end the program.
    try {
        serialListener->start(false);
        serialSender->start(false);
        return true;
    } catch (const std::system_error& error) {
        logger->log(std::string("The listener and the sender could not start: ") + error.what(), BaseLogger::ERROR,
                    kPrefix);
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
    if (deviceHandler)
        deviceHandler->clearDeviceList();
    if (!usbCommunication.isConnected()) {
        logger->log("Search devices requested, but there is no active COM/USB connection. Open the Connection "
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
    // Runs inside the processing of the erase acknowledgement, under the engine's mutex.
    Lock lock(payloadHandler->getMutex());
    // Only the upload that wrote the erase code sends its image: an erase acknowledged after
    // that upload ended, or outside any, starts nothing.
    if (stm32Phase != Stm32Phase::ERASE_WRITTEN) {
        logger->log("Erase acknowledged, but no STM32 upload waits for it: nothing sent", BaseLogger::WARNING,
                    kPrefix);
        return GlobalHandlerEvents::SUCCESS;
    }
    logger->log("Load firmware", BaseLogger::INFO, kPrefix);
    transfersBefore = payloadHandler->completedTransfers();
    payloadHandler->forgetRefusals();
    stm32Phase = Stm32Phase::TRANSFER;
    writeFirmware();
    return GlobalHandlerEvents::SUCCESS;
}

// --- STM32 upload ----------------------------------------------------------------------------

bool BeaconSession::startStm32Upload(const std::string& path, std::string* refusal) {
    LineOwner::Claim claim(line, Job::STM32_UPLOAD, "STM32 upload", refusal);
    if (!claim)
        return false;
    // Read whole before anything is erased: a device erased for an image that cannot be sent
    // would be left without firmware, and the bytes sent are those read now.
    RecordedUpload::Refusal refused;
    if (!upload.record(FirmwareTarget::STM32, path, refused)) {
        logger->log(kNoImage, BaseLogger::WARNING, kPrefix);
        refuseImage(FirmwareTarget::STM32, refused.cause, refusal);
        return false;
    }
    logger->log("Start upload", BaseLogger::INFO, kPrefix);
    logger->log("Erase firmware", BaseLogger::INFO, kPrefix);
    if (!startWorkers()) {
        if (refusal)
            *refusal = "STM32 upload failed: the listener and the sender could not start";
        return false;
    }
    {
        Lock lock(payloadHandler->getMutex());
        payloadHandler->forgetRefusals();
        stm32Phase = Stm32Phase::ERASE_WAIT;
    }
    eraseProbe.arm(ERASE_FILE_0);
    serialSender->search();
    // From here on every ending of the upload frees the line.
    claim.keep();
    return true;
}

void BeaconSession::refuseImage(FirmwareTarget target, const std::string& cause, std::string* refusal) {
    const std::string line = std::string(firmwareTargetName(target)) + " image refused: " + cause;
    logger->log(line, BaseLogger::WARNING, kPrefix);
    if (refusal)
        *refusal = line;
}

BeaconSession::UploadTick BeaconSession::tickStm32Upload() {
    // Under the engine's mutex: the answers that move the upload on are processed under it.
    Lock lock(payloadHandler->getMutex());
    switch (stm32Phase) {
    case Stm32Phase::IDLE:
        return UploadTick();
    case Stm32Phase::ERASE_WAIT:
        return tickEraseWait();
    case Stm32Phase::ERASE_WRITTEN:
        return tickEraseWritten();
    case Stm32Phase::TRANSFER:
        return tickTransfer();
    }
    return UploadTick();
}

BeaconSession::UploadTick BeaconSession::tickEraseWait() {
    EraseWait::Knowledge known;
    known.linkUp = usbCommunication.isConnected();
    known.modelPresent = deviceHandler != nullptr;
    if (deviceHandler) {
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
    case EraseWait::Request::WRITE_ERASE: {
        if (!eraseMemorySector(eraseProbe.code(), ""))
            return endStm32Upload(kUploadFailed + "the erase code could not be written");
        stm32Phase = Stm32Phase::ERASE_WRITTEN;
        UploadTick next;
        next.keepTicking = true;
        return next;
    }
    case EraseWait::Request::NONE:
        break;
    }
    if (step.failure) {
        logger->log(step.failure, BaseLogger::ERROR, kPrefix);
        UploadTick end = endStm32Upload({});
        end.failure = step.failure;
        return end;
    }
    UploadTick next;
    next.keepTicking = step.keepWaiting;
    return next;
}

BeaconSession::UploadTick BeaconSession::tickEraseWritten() {
    if (!usbCommunication.isConnected()) {
        payloadHandler->abandon(MSG_SET_FIELD);
        return endStm32Upload(kUploadFailed + "the link was lost before the device acknowledged the erase");
    }
    if (payloadHandler->isPending(MSG_SET_FIELD)) {
        if (answerOverdue(MSG_SET_FIELD)) {
            const unsigned replyMs = payloadHandler->lastFramed().replyMs;
            payloadHandler->abandon(MSG_SET_FIELD);
            return endStm32Upload(kUploadFailed + "no answer to the erase write within " + std::to_string(replyMs) +
                                  " ms");
        }
        UploadTick next;
        next.keepTicking = true;
        return next;
    }
    // Answered, and the acknowledgement would have started the transfer: it was refused.
    const std::uint8_t status = payloadHandler->refusal(MSG_SET_FIELD);
    if (status != 0)
        return endStm32Upload(kUploadFailed + "the device refused the erase write (error code " +
                              std::to_string(status) + ")");
    return endStm32Upload(kUploadFailed + "the erase write went unanswered");
}

BeaconSession::UploadTick BeaconSession::tickTransfer() {
    if (payloadHandler->completedTransfers() > transfersBefore) {
        logger->log("STM32 upload completed", BaseLogger::INFO, kPrefix);
        UploadTick end = endStm32Upload({});
        end.succeeded = true;
        return end;
    }
    const std::string percent = std::to_string(payloadHandler->transferPercent.load()) + " %";
    if (!usbCommunication.isConnected()) {
        payloadHandler->abandon(MSG_FILE_WRITE);
        return endStm32Upload(kUploadFailed + "the link was lost at " + percent);
    }
    if (!payloadHandler->isPending(MSG_FILE_WRITE)) {
        // An error status drops the pending request and leaves the transfer where it was.
        const std::uint8_t status = payloadHandler->refusal(MSG_FILE_WRITE);
        const std::string request = pendingFileRequestText();
        payloadHandler->abandon(MSG_FILE_WRITE);
        if (status != 0)
            return endStm32Upload(kUploadFailed + "the device refused the " + request + " (error code " +
                                  std::to_string(status) + ")");
        return endStm32Upload(kUploadFailed + "the transfer was stopped at " + percent);
    }
    if (answerOverdue(MSG_FILE_WRITE)) {
        const std::string request = pendingFileRequestText();
        const unsigned replyMs = payloadHandler->lastFramed().replyMs;
        payloadHandler->abandon(MSG_FILE_WRITE);
        return endStm32Upload(kUploadFailed + "no answer to the " + request + " within " + std::to_string(replyMs) +
                              " ms");
    }
    UploadTick next;
    next.keepTicking = true;
    return next;
}

bool BeaconSession::answerOverdue(MessageType type) {
    const PayloadHandler::RequestClock clock = payloadHandler->lastFramed();
    if (clock.type != type)
        return false;
    return std::chrono::steady_clock::now() - clock.framedAt > std::chrono::milliseconds(clock.replyMs) + kAnswerGrace;
}

std::string BeaconSession::pendingFileRequestText() {
    const PayloadHandler::TransferView view = payloadHandler->transferView();
    if (!view.eraseDone)
        return "erase file request";
    if (view.finishSent)
        return "finish file request";
    return "write file request at offset " + std::to_string(view.offset);
}

BeaconSession::UploadTick BeaconSession::endStm32Upload(std::string failure) {
    if (!failure.empty())
        logger->log(failure, BaseLogger::ERROR, kPrefix);
    stm32Phase = Stm32Phase::IDLE;
    eraseProbe.disarm();
    line.release(Job::STM32_UPLOAD);
    UploadTick end;
    end.ended = true;
    end.failure = std::move(failure);
    return end;
}

bool BeaconSession::eraseMemorySector(EraseCmd cmd, const std::string& text) {
    const auto request = newRequest(eraseFileNumber(cmd), text);
    FieldWrite erase;
    erase.address = request->address;
    erase.name = "erase";
    erase.noDevice = "device didn't exist for erase request";
    erase.noField = "erase field didn't exist";
    // Whatever type the device described, the code goes out as 4 bytes, little-endian.
    const std::uint32_t code = cmd;
    const std::uint8_t value[8] = {static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(code >> 8),
                                   static_cast<std::uint8_t>(code >> 16), static_cast<std::uint8_t>(code >> 24)};
    const bool queued = writeDeviceField(erase, value, [this](Field& field) {
        FieldInfo* info = field.getInfo();
        if (!info) {
            logger->log("erase field info didn't exist", BaseLogger::ERROR, kPrefix);
            return false;
        }
        FieldInfo fourBytes = *info;
        fourBytes.type = 8;
        field.setInfo(fourBytes);
        return true;
    });
    return queued && payloadHandler->isPending(MSG_SET_FIELD);
}

bool BeaconSession::writeDeviceField(const FieldWrite& write, const void* value,
                                     const std::function<bool(Field&)>& prepare) {
    if (!deviceHandler) {
        logger->log(write.noDevice, BaseLogger::ERROR, kPrefix);
        return false;
    }
    // Under the model's lock from the look-up to the queued request: a search on another
    // path may empty the model.
    Lock lock(deviceHandler->getMutex());
    App::Device* device = deviceHandler->getDevice(write.address);
    if (!device) {
        logger->log(write.noDevice, BaseLogger::ERROR, kPrefix);
        return false;
    }
    Field* field = write.name ? device->getFieldByName(write.name) : device->getField(write.index);
    if (!field) {
        logger->log(write.noField, write.noFieldType, kPrefix);
        return false;
    }
    if (prepare && !prepare(*field))
        return false;
    field->setData(true, value);
    std::uint64_t index = write.index;
    if (write.name) {
        index = device->getFieldIndexByName(write.name);
        if (index == std::numeric_limits<std::uint64_t>::max()) {
            logger->log(write.noField, write.noFieldType, kPrefix);
            return false;
        }
    }
    serialSender->setFieldValue(write.address, static_cast<std::uint8_t>(index));
    return true;
}

bool BeaconSession::writeFirmware() {
    const RecordedUpload::Record image = upload.get();
    if (!image.image) {
        logger->log(kNoImage, BaseLogger::WARNING, kPrefix);
        return false;
    }
    const auto request = newRequest(image.target == FirmwareTarget::ESP32 ? 2 : 0, image.path);
    request->image = image.image;
    logger->log("load device firmware", BaseLogger::INFO, kSenderPrefix);
    payloadHandler->onMessage(MSG_FIRMWARE_WRITE, request.get());
    payloadHandler->generateResponse(MSG_FILE_WRITE, nullptr);
    return true;
}

// --- ESP32 flash -----------------------------------------------------------------------------

bool BeaconSession::startEsp32Flash(const std::string& path, std::string* refusal) {
    if (path.empty()) {
        logger->log(kNoImage, BaseLogger::WARNING, kPrefix);
        refuseImage(FirmwareTarget::ESP32, "no file is chosen", refusal);
        return false;
    }
    LineOwner::Claim claim(line, Job::ESP32_FLASH, "ESP32 flash", refusal, "ESP32 flashing already in progress");
    if (!claim)
        return false;
    // Read and checked before the device is asked to switch to its bootloader, also against
    // what the loader is known to refuse. The failure's line is the one the flasher would
    // have given for that file; what exactly was wrong follows on a line of its own.
    RecordedUpload::Refusal refused;
    if (!upload.record(FirmwareTarget::ESP32, path, refused)) {
        logger->log(kFlashFailed + TaviskEspSerialFlasher::imageFileText(refused.status, path), BaseLogger::ERROR,
                    kPrefix);
        refuseImage(FirmwareTarget::ESP32, refused.cause, refusal);
        return false;
    }
    std::string why;
    LoaderResult result = LOADER_OK;
    if (!TaviskEspSerialFlasher::acceptsImage(upload.get().image->size(), EspFlashJob::flashOptions(), &why,
                                              &result)) {
        const std::string text = TaviskEspSerialFlasher::loaderFailureText("esp_loader_flash_start", result);
        logger->log(kFlashFailed + text, BaseLogger::ERROR, kPrefix);
        const std::string meaning = text + " means " + TaviskEspSerialFlasher::meaningOf(result) + ": " + why;
        logger->log(meaning, BaseLogger::ERROR, kPrefix);
        if (refusal)
            *refusal = meaning;
        return false;
    }
    eraseProbe.disarm();
    if (!espFlashJob.start(path))
        return false;
    // The flash's last report frees the line.
    claim.keep();
    return true;
}

bool BeaconSession::flashOverLink(const std::string&, const TaviskEspSerialFlasher::FlashOptions& options,
                                  const EspFlashJob::Progress& progress, std::string* error) {
    // The flash needs the line to itself, and what the engine still waited for is void once
    // the ESP32 has been switched over: the next search or upload starts afresh.
    serialListener->terminate();
    serialSender->terminate();
    payloadHandler->resetState();
    // The bytes read when the flash was asked for, not the file as it is now.
    const RecordedUpload::Image image = upload.get().image;
    if (!image) {
        if (error)
            *error = "no image was recorded for the flash";
        return false;
    }
    return TaviskEspSerialFlasher::flashImage(usbCommunication, *image, options, progress, error);
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
    asDeviceRequest("Fields info request", [this] { serialSender->getInfoFields(currentAddressByte()); });
}

void BeaconSession::setDeviceDfuMode() {
    asDeviceRequest("Device update mode request", [this] {
        logger->log("set device to DFU mode", BaseLogger::INFO, kSenderPrefix);
        std::uint8_t address = currentAddressByte();
        payloadHandler->onMessage(MSG_DFU, &address);
        payloadHandler->generateResponse(MSG_DFU, nullptr);
    });
}

void BeaconSession::setFieldValue(const void* value, unsigned long long index) {
    asDeviceRequest("Field write", [&] {
        FieldWrite write;
        write.address = currentAddressByte();
        write.index = static_cast<std::uint8_t>(index);
        write.noDevice = "device didn't exist for set field value";
        write.noField = "field didn't exist for set field value";
        writeDeviceField(write, value);
    });
}

void BeaconSession::rebootDevice() {
    // The reboot and the reconnect after it are one job: nothing else may use the line between.
    LineOwner::Claim claim(line, Job::RECONNECT, "Device reboot");
    if (!claim)
        return;
    FieldWrite reboot;
    reboot.address = currentAddressByte();
    reboot.name = "reboot";
    reboot.noDevice = "device didn't exist for reboot";
    reboot.noField = "choose field didn't exist";
    reboot.noFieldType = BaseLogger::WARNING;
    // A little-endian 1 of 8 bytes: the field keeps as many as its type has.
    const std::uint8_t one[8] = {1};
    if (writeDeviceField(reboot, one) && startReconnect())
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
        if (payloadHandler)
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
