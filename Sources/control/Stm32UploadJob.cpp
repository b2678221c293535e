#include "control/Stm32UploadJob.h"

#include "control/WindowLines.h"
#include "core/LoggerManager.h"
#include "link/DeviceHandler.h"

#include <utility>

namespace {

using WindowLines::kPrefix;
const std::string kUploadFailed = "STM32 upload failed: ";

using Lock = std::lock_guard<std::recursive_mutex>;
using Job = LineOwner::Job;
using Status = GlobalHandlerEvents::HandlerEventsStatus;

} // namespace

Stm32UploadJob::Stm32UploadJob(PayloadHandler& payloadEngine, LineOwner& lineOwner, RecordedUpload& recorded,
                               FieldWriter& fieldWriter, Steps sessionSteps, Clock& jobClock)
    : logger(&LoggerManager::getInstance()), engine(payloadEngine), line(lineOwner), upload(recorded),
      fields(fieldWriter), steps(std::move(sessionSteps)), clock(jobClock) {}

bool Stm32UploadJob::start(const std::string& path, std::string* refusal) {
    LineOwner::Claim claim(line, Job::STM32_UPLOAD, "STM32 upload", refusal);
    if (!claim)
        return false;
    // Read whole before anything is erased: a device erased for an image that cannot be sent
    // would be left without firmware, and the bytes sent are those read now. A file that the
    // engine could not have loaded is refused in its words, as it would have been after the
    // erase; what exactly was wrong follows on a line of its own.
    RecordedUpload::Refusal refused;
    if (!upload.record(FirmwareTarget::STM32, path, refused)) {
        if (path.empty())
            logger->log(WindowLines::kNoImage, BaseLogger::WARNING, kPrefix);
        else
            engine.reportUnreadableFile(refused.status, path);
        const std::string why = RecordedUpload::refusedLine(FirmwareTarget::STM32, refused.cause);
        logger->log(why, BaseLogger::WARNING, kPrefix);
        if (refusal)
            *refusal = why;
        return false;
    }
    logger->log("Start upload", BaseLogger::INFO, kPrefix);
    logger->log("Erase firmware", BaseLogger::INFO, kPrefix);
    if (!steps.startWorkers()) {
        if (refusal)
            *refusal = kUploadFailed + "the listener and the sender could not start";
        return false;
    }
    {
        Lock lock(engine.getMutex());
        engine.forgetRefusals();
        phase = Phase::ERASE_WAIT;
    }
    eraseProbe.arm(ERASE_FILE_0);
    steps.search();
    // From here on every ending of the upload frees the line.
    claim.keep();
    return true;
}

Stm32UploadJob::Tick Stm32UploadJob::tick() {
    // Under the engine's mutex: the answers that move the upload on are processed under it.
    Lock lock(engine.getMutex());
    switch (phase) {
    case Phase::IDLE:
        return Tick();
    case Phase::ERASE_WAIT:
        return tickEraseWait();
    case Phase::ERASE_WRITTEN:
        return tickEraseWritten();
    case Phase::TRANSFER:
        return tickTransfer();
    }
    return Tick();
}

Stm32UploadJob::Tick Stm32UploadJob::tickEraseWait() {
    EraseWait::Knowledge known;
    known.linkUp = steps.linkUp();
    known.modelPresent = true; // the engine's own
    App::Device* device = engine.deviceHandler.getDevice(currentAddress());
    known.deviceKnown = device != nullptr;
    known.eraseFieldKnown = device && device->getFieldByName("erase");
    const EraseWait::Step step = eraseProbe.tick(known);
    switch (step.request) {
    case EraseWait::Request::SEARCH:
        steps.search();
        break;
    case EraseWait::Request::FIELD_INFO:
        steps.askFields(currentAddress());
        break;
    case EraseWait::Request::WRITE_ERASE: {
        if (!eraseMemorySector(eraseProbe.code()))
            return fail("the erase code could not be written");
        phase = Phase::ERASE_WRITTEN;
        // Its time runs from now: the request was framed on this thread, just now.
        watchLastRequest();
        Tick next;
        next.keepTicking = true;
        return next;
    }
    case EraseWait::Request::NONE:
        break;
    }
    if (step.failure)
        return finish(step.failure);
    Tick next;
    next.keepTicking = step.keepWaiting;
    return next;
}

Stm32UploadJob::Tick Stm32UploadJob::tickEraseWritten() {
    if (!steps.linkUp()) {
        engine.abandon(MSG_SET_FIELD);
        return fail("the link was lost before the device acknowledged the erase");
    }
    if (engine.isPending(MSG_SET_FIELD)) {
        if (answerOverdue(MSG_SET_FIELD)) {
            const unsigned replyMs = engine.lastFramed().replyMs;
            engine.abandon(MSG_SET_FIELD);
            return fail("no answer to the erase write within " + std::to_string(replyMs) + " ms");
        }
        Tick next;
        next.keepTicking = true;
        return next;
    }
    // Answered, and the acknowledgement would have started the transfer: it was refused.
    const std::uint8_t status = engine.refusal(MSG_SET_FIELD);
    if (status != 0)
        return fail("the device refused the erase write (error code " + std::to_string(status) + ")");
    return fail("the erase write went unanswered");
}

Stm32UploadJob::Tick Stm32UploadJob::finishIfConfirmed() {
    Lock lock(engine.getMutex());
    return confirmed() ? succeed() : Tick();
}

bool Stm32UploadJob::confirmed() {
    return phase == Phase::TRANSFER && engine.completedTransfers() > transfersBefore;
}

Stm32UploadJob::Tick Stm32UploadJob::tickTransfer() {
    if (confirmed())
        return succeed();
    const std::string percent = std::to_string(engine.transferPercent.load()) + " %";
    if (!steps.linkUp()) {
        engine.abandon(MSG_FILE_WRITE);
        return fail("the link was lost at " + percent);
    }
    if (!engine.isPending(MSG_FILE_WRITE)) {
        // An error status drops the pending request and leaves the transfer where it was.
        const std::uint8_t status = engine.refusal(MSG_FILE_WRITE);
        const std::string request = pendingFileRequestText();
        engine.abandon(MSG_FILE_WRITE);
        if (status != 0)
            return fail("the device refused the " + request + " (error code " + std::to_string(status) + ")");
        return fail("the transfer was stopped at " + percent);
    }
    if (answerOverdue(MSG_FILE_WRITE)) {
        const std::string request = pendingFileRequestText();
        const unsigned replyMs = engine.lastFramed().replyMs;
        engine.abandon(MSG_FILE_WRITE);
        return fail("no answer to the " + request + " within " + std::to_string(replyMs) + " ms");
    }
    Tick next;
    next.keepTicking = true;
    return next;
}

void Stm32UploadJob::watchLastRequest() {
    watchedRequest = engine.lastFramed().sequence;
    watchedSince = clock.now();
}

bool Stm32UploadJob::answerOverdue(MessageType type) {
    const PayloadHandler::FramedRequest framed = engine.lastFramed();
    if (framed.type != type)
        return false;
    if (framed.sequence != watchedRequest) {
        watchLastRequest();
        return false;
    }
    return clock.now() - watchedSince > std::chrono::milliseconds(framed.replyMs) + kAnswerGrace;
}

std::string Stm32UploadJob::pendingFileRequestText() {
    const PayloadHandler::TransferView view = engine.transferView();
    if (!view.eraseDone)
        return "erase file request";
    if (view.finishSent)
        return "finish file request";
    return "write file request at offset " + std::to_string(view.offset);
}

Stm32UploadJob::Tick Stm32UploadJob::succeed() {
    logger->log("STM32 upload completed", BaseLogger::INFO, kPrefix);
    Tick done = finish({});
    done.succeeded = true;
    return done;
}

Stm32UploadJob::Tick Stm32UploadJob::fail(const std::string& reason) {
    return finish(kUploadFailed + reason);
}

Stm32UploadJob::Tick Stm32UploadJob::finish(std::string failure) {
    if (!failure.empty())
        logger->log(failure, BaseLogger::ERROR, kPrefix);
    phase = Phase::IDLE;
    eraseProbe.disarm();
    line.release(Job::STM32_UPLOAD);
    Tick ended;
    ended.ended = true;
    ended.failure = std::move(failure);
    return ended;
}

Status Stm32UploadJob::loadFirmware() {
    // Runs inside the processing of the erase acknowledgement, under the engine's mutex.
    Lock lock(engine.getMutex());
    // Only the upload that wrote the erase code sends its image: an erase acknowledged after
    // that upload ended, or outside any, starts nothing.
    if (phase != Phase::ERASE_WRITTEN) {
        logger->log("Erase acknowledged, but no STM32 upload waits for it: nothing sent", BaseLogger::WARNING,
                    kPrefix);
        return GlobalHandlerEvents::SUCCESS;
    }
    logger->log("Load firmware", BaseLogger::INFO, kPrefix);
    transfersBefore = engine.completedTransfers();
    engine.forgetRefusals();
    phase = Phase::TRANSFER;
    writeFirmware();
    return GlobalHandlerEvents::SUCCESS;
}

void Stm32UploadJob::stop() {
    eraseProbe.disarm();
    {
        Lock lock(engine.getMutex());
        phase = Phase::IDLE;
    }
    line.release(Job::STM32_UPLOAD);
}

std::string Stm32UploadJob::abandonedText() {
    Lock lock(engine.getMutex());
    switch (phase) {
    case Phase::IDLE:
    case Phase::ERASE_WAIT:
        return "an STM32 upload before the erase was written: the upload is abandoned and nothing was "
               "changed on the device";
    case Phase::ERASE_WRITTEN:
        return "an STM32 upload while the device erases: the upload is abandoned and the device may be left "
               "erased, without its image";
    case Phase::TRANSFER:
        break;
    }
    return "an STM32 upload at " + std::to_string(engine.transferPercent.load()) +
           " %: the upload is abandoned and the device is left without its whole image";
}

FileRequest Stm32UploadJob::newRequest(const std::string& path) const {
    FileRequest request;
    request.address = currentAddress();
    request.index = fileNumber();
    request.path = path;
    return request;
}

std::uint8_t Stm32UploadJob::currentAddress() const {
    return engine.deviceHandler.currentAddress.load();
}

bool Stm32UploadJob::eraseMemorySector(EraseCmd cmd) {
    FieldWriter::Target erase;
    erase.address = currentAddress();
    erase.name = "erase";
    erase.noDevice = "device didn't exist for erase request";
    erase.noField = "erase field didn't exist";
    // Whatever type the device described, the code goes out as 4 bytes, little-endian.
    const std::uint32_t code = cmd;
    const std::uint8_t value[8] = {static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(code >> 8),
                                   static_cast<std::uint8_t>(code >> 16),
                                   static_cast<std::uint8_t>(code >> 24)};
    const bool queued = fields.write(erase, value, [this](Field& field) {
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
    return queued && engine.isPending(MSG_SET_FIELD);
}

bool Stm32UploadJob::writeFirmware() {
    const RecordedUpload::Record image = upload.get();
    if (!image.image) {
        logger->log(WindowLines::kNoImage, BaseLogger::WARNING, kPrefix);
        return false;
    }
    FileRequest request = newRequest(image.path);
    request.image = image.image;
    logger->log("load device firmware", BaseLogger::INFO, WindowLines::kSenderPrefix);
    engine.onMessage(MSG_FIRMWARE_WRITE, &request);
    engine.generateResponse(MSG_FILE_WRITE, nullptr);
    return true;
}
