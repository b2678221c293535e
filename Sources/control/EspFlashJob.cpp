#include "control/EspFlashJob.h"

#include "core/LoggerManager.h"

#include <exception>
#include <utility>

namespace {
const std::string kPrefix = "MainWindow: ";
}

EspFlashJob::EspFlashJob(FlashFunction flashFunction, std::function<void()> notifyFunction)
    : flash(std::move(flashFunction)), notify(std::move(notifyFunction)),
      logger(&LoggerManager::getInstance()), worker("ESP32 flash worker", kPrefix) {}

EspFlashJob::~EspFlashJob() {
    waitForEnd();
}

bool EspFlashJob::start() {
    if (worker.busy()) {
        logger->log("ESP32 flashing already in progress", BaseLogger::WARNING, kPrefix);
        return false;
    }
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
    if (!worker.start([this] { run(); }, [this] { notify(); })) {
        completionDue = false;
        return false;
    }
    return true;
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

void EspFlashJob::run() {
    const TaviskEspSerialFlasher::FlashOptions options = flashOptions();
    const Progress progress = [this](unsigned char percent) {
        lastPercent = percent;
        notify();
    };
    std::string error;
    bool written = false;
    // Whatever the flasher throws ends this flash as a failure with its text: the window
    // must become usable again.
    try {
        written = flash(options, progress, &error);
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
