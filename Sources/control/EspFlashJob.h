#pragma once

#include "core/JobWorker.h"
#include "espflash/EspSerialFlasher.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

class LoggerManager;

// One ESP32 flash at a time on a worker thread of its own. The worker reports each
// percentage and its end through `notify` (the main window emits a dispatcher there, so that
// the GUI thread redraws); the GUI thread reads the state and takes the result once per flash.
//
// start(), takeCompletion() and waitForEnd() are called on one thread (the GUI thread); the
// state they read is shared with the worker through atomics and `resultMutex`. The last
// report of a flash comes once the worker is idle: a start from then on is accepted.
class EspFlashJob {
public:
    using Progress = std::function<void(unsigned char)>;
    // Flashes the image it was given: true when it was written; on failure the text in `error`.
    using FlashFunction = std::function<bool(const TaviskEspSerialFlasher::FlashOptions&,
                                             const Progress& progress, std::string* error)>;

    struct Result {
        bool ok = false;
        std::string error; // the flasher's text when it failed
    };

    EspFlashJob(FlashFunction flash, std::function<void()> notify);
    // Waits for a running flash: a flash cut short could leave the chip half written.
    ~EspFlashJob();
    EspFlashJob(const EspFlashJob&) = delete;
    EspFlashJob& operator=(const EspFlashJob&) = delete;

    // What every flash is made with: offset 0, blocks of 1024 bytes, no reboot.
    static TaviskEspSerialFlasher::FlashOptions flashOptions();
    // The ERROR line of a flash that failed or was refused, from the flasher's text:
    // "ESP32 flashing failed: <text>".
    static std::string failureLine(const std::string& text);

    // Starts a flash with flashOptions(). False, with a WARNING, while a flash runs; the
    // running one is not disturbed.
    bool start();

    std::uint8_t percent() const { return lastPercent.load(); }
    bool finished() const { return done.load(); }
    // Finished, and the image was written: only then may the window say so.
    bool succeeded() const { return done.load() && ok.load(); }
    bool inProgress() const { return worker.busy(); }

    // Once per flash, after the worker has ended: joins it and returns the result. Empty
    // while the flash runs and for every later call.
    std::optional<Result> takeCompletion();
    // Waits for a running flash to end (saying so with an INFO line) and joins the worker.
    void waitForEnd();

private:
    void run();

    FlashFunction flash;
    std::function<void()> notify;
    LoggerManager* logger;

    std::atomic<bool> done{false};          // the worker has ended its flash
    std::atomic<bool> completionDue{false}; // takeCompletion has not yet answered this flash
    std::atomic<bool> ok{false};            // the flash that ended wrote its image
    std::atomic<std::uint8_t> lastPercent{0};
    // Guards `result`: written by the worker at its end, read by the GUI thread.
    std::mutex resultMutex;
    Result result;
    // Last: joined before anything that the flash uses goes.
    JobWorker worker;
};
