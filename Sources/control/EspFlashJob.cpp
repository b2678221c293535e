#include "control/EspFlashJob.h"

#include "control/WindowLines.h"
#include "core/LoggerManager.h"

#include <exception>
#include <utility>

namespace {
using WindowLines::kPrefix;
using Job = LineOwner::Job;
} // namespace

EspFlashJob::EspFlashJob(LineOwner& lineOwner, RecordedUpload& recorded, FlashFunction flashFunction,
                         std::function<void()> notifyFunction)
    : line(lineOwner), upload(recorded), flash(std::move(flashFunction)), notify(std::move(notifyFunction)),
      logger(&LoggerManager::getInstance()), worker("ESP32 flash worker", kPrefix) {}

EspFlashJob::~EspFlashJob() {
    waitForEnd();
}

bool EspFlashJob::start(const std::string& path, std::string* refusal) {
    if (path.empty()) {
        logger->log(WindowLines::kNoImage, BaseLogger::WARNING, kPrefix);
        refuseImage("no file is chosen", refusal);
        return false;
    }
    LineOwner::Claim claim(line, Job::ESP32_FLASH, "ESP32 flash", refusal,
                           "ESP32 flashing already in progress");
    if (!claim)
        return false;
    // Read and checked before the device is asked to switch to its bootloader, also against
    // what the loader is known to refuse. The failure's line is the one the flasher would
    // have given for that file; what exactly was wrong follows on a line of its own.
    RecordedUpload::Refusal refused;
    if (!upload.record(FirmwareTarget::ESP32, path, refused)) {
        logger->log(failureLine(TaviskEspSerialFlasher::imageFileText(refused.status, path)),
                    BaseLogger::ERROR, kPrefix);
        refuseImage(refused.cause, refusal);
        return false;
    }
    // The bytes read now, not the file as it may be by the time the flash runs.
    const RecordedUpload::Image image = upload.get().image;
    std::string why;
    LoaderResult result = LOADER_OK;
    if (!TaviskEspSerialFlasher::acceptsImage(image->size(), flashOptions(), &why, &result)) {
        const std::string text = TaviskEspSerialFlasher::loaderFailureText("esp_loader_flash_start", result);
        logger->log(failureLine(text), BaseLogger::ERROR, kPrefix);
        const std::string meaning = text + " means " + TaviskEspSerialFlasher::meaningOf(result) + ": " + why;
        logger->log(meaning, BaseLogger::ERROR, kPrefix);
        if (refusal)
            *refusal = meaning;
        return false;
    }
    if (!launch(image))
        return false;
    // The flash's end frees the line.
    claim.keep();
    return true;
}

void EspFlashJob::refuseImage(const std::string& cause, std::string* refusal) {
    const std::string why = RecordedUpload::refusedLine(FirmwareTarget::ESP32, cause);
    logger->log(why, BaseLogger::WARNING, kPrefix);
    if (refusal)
        *refusal = why;
}

bool EspFlashJob::launch(RecordedUpload::Image image) {
    // An earlier flash that ended: its last report reads what is reset here.
    worker.join();
    done = false;
    ok = false;
    lastPercent = 0;
    {
        std::lock_guard<std::mutex> lock(resultMutex);
        result = Result();
    }
    completionDue = true;
    const bool started = worker.start([this, image] { run(*image); },
                                      [this] {
                                          // The worker is done with the line.
                                          line.release(Job::ESP32_FLASH);
                                          report();
                                      });
    if (!started)
        completionDue = false;
    return started;
}

std::string EspFlashJob::failureLine(const std::string& text) {
    return "ESP32 flashing failed: " + text;
}

TaviskEspSerialFlasher::FlashOptions EspFlashJob::flashOptions() {
    TaviskEspSerialFlasher::FlashOptions options;
    options.offset = 0;
    options.blockSize = 1024;
    options.reboot = false;
    return options;
}

void EspFlashJob::report() {
    if (notify)
        notify();
}

void EspFlashJob::run(const std::vector<std::uint8_t>& image) {
    const TaviskEspSerialFlasher::FlashOptions options = flashOptions();
    const Progress progress = [this](unsigned char percent) {
        lastPercent = percent;
        report();
    };
    std::string error;
    bool written = false;
    // Whatever the flasher throws ends this flash as a failure with its text: the window
    // must become usable again.
    try {
        written = flash(image, options, progress, &error);
    } catch (const std::exception& exception) {
        written = false;
        error = exception.what();
    } catch (...) {
        written = false;
        error = "unknown exception";
    }
    if (!written && error.empty())
        error = "the flasher gave no reason";
    {
        std::lock_guard<std::mutex> lock(resultMutex);
        result.ok = written;
        result.error = written ? std::string() : error;
    }
    ok = written;
    done = true;
}

std::optional<EspFlashJob::Result> EspFlashJob::takeCompletion() {
    if (!done.load() || !completionDue.exchange(false))
        return std::nullopt;
    worker.join();
    std::lock_guard<std::mutex> lock(resultMutex);
    return result;
}

void EspFlashJob::waitForEnd() {
    if (worker.busy())
        logger->log("Waiting for the running ESP32 flash to end", BaseLogger::INFO, kPrefix);
    worker.join();
}
