#pragma once

#include "control/EraseCmd.h"
#include "control/EraseWait.h"
#include "control/FieldWriter.h"
#include "control/LineOwner.h"
#include "control/RecordedUpload.h"
#include "core/Clock.h"
#include "core/GlobalHandlerEvents.h"
#include "link/FileRequest.h"
#include "link/PayloadHandler.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

class LoggerManager;

// One STM32 upload, from Upload to its end: the image read into memory, the erase wait for the
// device and its field "erase", the erase write, the wait for its acknowledgement (which makes
// the engine fire LOAD_FIRMWARE and the job hand the image over), and the transfer. It ends with
// the device's confirmation of the whole image, or with one ERROR line: the erase wait's own, or
// "STM32 upload failed: " and why (an error status, the link lost, an answer overdue). Every
// ending frees the line.
//
// The window's timer calls tick() every kTickInterval until the upload has ended. An answer
// counts as overdue once the request's reply time and kAnswerGrace have passed on the job's
// clock since the job first saw the request; the request is then given up, so that a late
// answer sets nothing off. The device's confirmation of the whole image is processed on the
// listener thread; the GUI thread ends the upload with it as soon as it hears of it
// (finishIfConfirmed), so that the success it shows and the end of the job are one step.
//
// Threads: start(), tick(), finishIfConfirmed(), abandonedText() and stop() on the GUI thread;
// loadFirmware() on the listener thread, inside the processing of the erase acknowledgement.
// The phase and the overdue watch are guarded by the engine's mutex (the answers that move the
// upload on are processed under it); the erase wait belongs to the GUI thread.
class Stm32UploadJob {
public:
    // One tick of a running upload.
    struct Tick {
        bool keepTicking = false; // the upload runs on: tick again after kTickInterval
        bool ended = false;       // it ended with this tick (the line is free again)
        bool succeeded = false;   // ... with the device's confirmation of the whole image
        std::string failure;      // ... or with this ERROR line, already logged
    };

    // How often the upload is ticked; the erase wait's ten seconds are 51 of these.
    static constexpr std::chrono::milliseconds kTickInterval{200};
    // A request counts as unanswered this long after its reply time has passed: the answer
    // may have arrived just as the reply time ran out on a loaded machine.
    static constexpr std::chrono::milliseconds kAnswerGrace{5000};

    // What the job asks of the session that owns the link and the workers.
    struct Steps {
        std::function<bool()> linkUp;
        // Starts the listener and the sender; false, with its ERROR line, when they cannot run.
        std::function<bool()> startWorkers;
        std::function<void()> search;                        // a device search
        std::function<void(std::uint8_t address)> askFields; // the device's field descriptions
    };

    Stm32UploadJob(PayloadHandler& engine, LineOwner& line, RecordedUpload& upload, FieldWriter& fields,
                   Steps steps, Clock& clock);
    Stm32UploadJob(const Stm32UploadJob&) = delete;
    Stm32UploadJob& operator=(const Stm32UploadJob&) = delete;

    // Takes the line, reads the image into memory, starts the workers, arms the erase wait
    // and searches. False, with nothing sent, while another job has the line (a WARNING) or
    // when the image cannot be uploaded (the engine's ERRORs for a file it could not load,
    // then the WARNING "STM32 image refused: <path>: <cause>"); `refusal`, when given, gets
    // the line that says why.
    bool start(const std::string& path, std::string* refusal = nullptr);
    // One tick of the running upload (erase wait, erase acknowledgement, transfer).
    Tick tick();
    // Ends the upload when the device has confirmed the whole image (the line freed, INFO
    // "STM32 upload completed"): the tick that says so. Anything else: nothing ended.
    Tick finishIfConfirmed();
    // LOAD_FIRMWARE: hands the recorded image to the engine when this upload waits for the
    // acknowledgement of its erase write; anything else starts nothing.
    GlobalHandlerEvents::HandlerEventsStatus loadFirmware();
    // Ends a running upload quietly (the program ends) and frees the line.
    void stop();

    // What ending the program now would abandon of the upload, for its last line: "an STM32
    // upload at 42 %: the upload is abandoned and ...", by the phase it is in.
    std::string abandonedText();

    const EraseWait& eraseWait() const { return eraseProbe; }

private:
    enum class Phase { IDLE, ERASE_WAIT, ERASE_WRITTEN, TRANSFER };

    // The steps of tick(), under the engine's mutex.
    Tick tickEraseWait();
    Tick tickEraseWritten();
    Tick tickTransfer();
    // Writes `cmd` into the current device's field "erase" (as a 4-byte value); false when the
    // request could not be queued.
    bool eraseMemorySector(EraseCmd cmd);
    // Hands the recorded image to the engine, which starts the transfer; false when there is
    // none.
    bool writeFirmware();
    // A request record for the current device and the upload's file; it lives for the call
    // that hands it to the engine, which copies what it needs.
    FileRequest newRequest(const std::string& path) const;
    // Starts the time of the request framed last.
    void watchLastRequest();
    // Whether the answer to the last request, of `type`, is overdue; the first look at a new
    // request starts its time.
    bool answerOverdue(MessageType type);
    std::string pendingFileRequestText();
    // The ends of the upload: with the device's confirmation; with "STM32 upload failed: " and
    // `reason`; with a line of its own, as it stands. confirmed(): the device has confirmed
    // this upload's whole image.
    Tick succeed();
    Tick fail(const std::string& reason);
    Tick finish(std::string line);
    bool confirmed();

    std::uint8_t currentAddress() const;
    // The file on the device that the upload writes: the one its erase code erases.
    std::uint8_t fileNumber() const { return eraseFileNumber(eraseProbe.code()); }

    LoggerManager* logger;
    PayloadHandler& engine;
    LineOwner& line;
    RecordedUpload& upload;
    FieldWriter& fields;
    Steps steps;
    Clock& clock;

    EraseWait eraseProbe;
    Phase phase = Phase::IDLE;
    std::uint64_t transfersBefore = 0; // completed transfers when this upload's transfer began
    // The request whose answer is awaited, and when the job first saw it.
    std::uint64_t watchedRequest = 0;
    Clock::TimePoint watchedSince{};
};
