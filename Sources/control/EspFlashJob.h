#pragma once

#include "control/LineOwner.h"
#include "control/RecordedUpload.h"
#include "core/JobWorker.h"
#include "espflash/EspSerialFlasher.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class LoggerManager;

// One ESP32 flash at a time, from Upload to its end: the line taken, the image read into
// memory and checked against what the loader is known to refuse (before the device is asked
// to switch its ESP32 to the bootloader), then the flash on a worker thread of its own. The
// worker reports each percentage and its end through `notify` (the main window emits a
// dispatcher there, so that the GUI thread redraws); the GUI thread reads the state and takes
// the result once per flash. The end frees the line, before its report.
//
// start(), takeCompletion() and waitForEnd() are called on one thread (the GUI thread); the
// state they read is shared with the worker through atomics and `resultMutex`. The last
// report of a flash comes once the worker is idle: a start from then on is accepted.
class EspFlashJob {
public:
    using Progress = std::function<void(unsigned char)>;
    // Flashes `image`: true when it was written; on failure the text in `error`.
    using FlashFunction = std::function<bool(const std::vector<std::uint8_t>& image,
                                             const TaviskEspSerialFlasher::FlashOptions&,
                                             const Progress& progress, std::string* error)>;

    struct Result {
        bool ok = false;
        std::string error; // the flasher's text when it failed
    };

    EspFlashJob(LineOwner& line, RecordedUpload& upload, FlashFunction flash, std::function<void()> notify);
    // Waits for a running flash: a flash cut short could leave the chip half written.
    ~EspFlashJob();
    EspFlashJob(const EspFlashJob&) = delete;
    EspFlashJob& operator=(const EspFlashJob&) = delete;

    // What every flash is made with: offset 0, blocks of 1024 bytes, no reboot.
    static TaviskEspSerialFlasher::FlashOptions flashOptions();
    // The ERROR line of a flash that failed or was refused, from the flasher's text:
    // "ESP32 flashing failed: <text>".
    static std::string failureLine(const std::string& text);

    // Takes the line, reads the image at the UTF-8 `path` and starts the flash with
    // flashOptions(). False, with nothing sent, for an empty path ("File path is empty or did't
    // exist"), while another job has the line (a second flash first with "ESP32 flashing
    // already in progress"; the running one is not disturbed), for an image that cannot be
    // read (the flasher's line for the file, then "ESP32 image refused: <path>: <cause>") or
    // that the loader would refuse (its failure and what it means); `refusal`, when given,
    // gets the line that says why.
    bool start(const std::string& path, std::string* refusal = nullptr);

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
    // Starts the worker on the recorded image; false when no worker could run it.
    bool launch(RecordedUpload::Image image);
    void run(const std::vector<std::uint8_t>& image);
    void refuseImage(const std::string& cause, std::string* refusal);
    void report();

    LineOwner& line;
    RecordedUpload& upload;
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
