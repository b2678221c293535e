#pragma once

#include "control/EraseCmd.h"
#include "control/EraseWait.h"
#include "control/EspFlashJob.h"
#include "control/LineOwner.h"
#include "control/ReconnectJob.h"
#include "control/RecordedUpload.h"
#include "core/GlobalHandlerEvents.h"
#include "link/FastCrc8.h"
#include "link/FileRequest.h"
#include "link/LinkControl.h"
#include "link/PayloadHandler.h"
#include "link/SerialListener.h"
#include "link/SerialSender.h"
#include "link/UsbCommunication.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// What the main window does with the device, without GTK: it owns the link, the protocol
// engine with its device model, the listener and the sender, the ESP32 flash job and the
// reconnect job, and holds the state of an upload. The window's registry handlers and timer
// call it; tests drive it without a display.
//
// The session owns the serial line: one job at a time (LineOwner). An STM32 upload, an ESP32
// flash, a reconnect, a search, a connect or a disconnect asked for while another job runs is
// refused here with one WARNING, and nothing is sent; the window's sensitivity only spares the
// user the attempt. The connection dialog reaches the link through the session (LinkControl).
//
// Threads: the GUI thread calls everything except what the protocol side fires on the
// listener thread (setCurrentDeviceAddr, getInfoFields, loadFirmware and writeFirmware).
// What both threads touch is an atomic (currentDeviceAddress) or guarded
// (the recorded upload and lastRequest by their own mutexes; the engine, the model and the
// STM32 upload's phase by the engine's mutex; the line's job by LineOwner). The erase wait
// belongs to the GUI thread.
class BeaconSession : public LinkControl {
public:
    using Listener = PayloadProtocol::SerialListener<UsbCommunication&, PayloadHandler>;
    using Sender = PayloadProtocol::SerialSender<256, UsbCommunication&, PayloadHandler, FastCrc8>;
    using Status = GlobalHandlerEvents::HandlerEventsStatus;

    // One tick of a running STM32 upload.
    struct UploadTick {
        bool keepTicking = false; // the upload runs on: tick again in 200 ms
        bool ended = false;       // it ended with this tick (the line is free again)
        bool succeeded = false;   // ... with the device's confirmation of the whole image
        std::string failure;      // ... or with this ERROR line, already logged
    };

    // A request counts as unanswered this long after its reply time has passed: the answer
    // may have arrived just as the reply time ran out on a loaded machine.
    static constexpr std::chrono::milliseconds kAnswerGrace{5000};

    // `onEspFlashReport` runs on the ESP32 flash worker after each percentage and at the end.
    explicit BeaconSession(std::function<void()> onEspFlashReport = {});
    // shutdown().
    ~BeaconSession() override;
    BeaconSession(const BeaconSession&) = delete;
    BeaconSession& operator=(const BeaconSession&) = delete;

    // Creates the engine, the listener and the sender, without starting them. Call once,
    // before anything else.
    void initPayloadProtocol();
    // Waits for a running ESP32 flash, cuts a reconnect short and joins it, then ends the
    // listener and the sender. Afterwards no worker of the session runs.
    void shutdown();

    bool isLinkConnected() { return usbCommunication.isConnected(); }
    // The job that has the line now.
    LineOwner::Job runningJob() const { return line.running(); }
    // What the program would abandon if it ended now, for its last line: "an STM32 upload at
    // 42 %: the upload is abandoned and the device is left without its whole image", ...;
    // empty while no job runs.
    std::string abandonedJobText();

    // --- LinkControl, for the connection dialog: refused while another job has the line
    std::vector<std::string> listPorts() override;
    LinkStatus connectPort(const std::string& portName, UsbTypes::Baudrate rate) override;
    LinkStatus disconnect() override;
    bool isConnected() override { return usbCommunication.isConnected(); }
    bool busy() override;

    // --- what the registry handlers do
    // SEARCH_DEVICES: empties the device model, starts the listener and the sender and sends
    // a search.
    Status searchDevices();
    // GET_INFO_FIELDS_RESPOND: asks the current device for its field descriptions.
    Status getInfoFields();
    // SET_CURRENT_DEVICE_ADDR: adopts the device just added and fires GET_INFO_FIELDS_RESPOND.
    Status setCurrentDeviceAddr();
    // UPLOAD_FIRMWARE with LOAD_FIRMWARE: sends the recorded STM32 image, when the running
    // upload waits for the erase acknowledgement.
    Status loadFirmware();

    // --- STM32 upload
    // UPLOAD_FIRMWARE with START_UPLOAD for the STM32: takes the line, reads the image into
    // memory, starts the workers, arms the erase wait and searches; then tick the upload every
    // 200 ms until it ends. False, with WARNINGs and nothing sent, while another job has the
    // line or when the image cannot be uploaded; `refusal`, when given, gets the line that
    // says why.
    bool startStm32Upload(const std::string& path, std::string* refusal = nullptr);
    // One tick of the running upload (erase wait, erase acknowledgement, transfer). Every
    // ending, success or failure, frees the line.
    UploadTick tickStm32Upload();
    // Writes `cmd` into the current device's field "erase" (as a 4-byte value); false when the
    // request could not be queued.
    bool eraseMemorySector(EraseCmd cmd, const std::string& text);
    // Hands the recorded image to the engine, which starts the transfer; false when there is
    // none.
    bool writeFirmware();

    // --- ESP32 flash
    // Takes the line, reads the image and starts the flash job; false when refused, as
    // startStm32Upload. The job ends the listener and the sender first: the flash needs the
    // line to itself.
    bool startEsp32Flash(const std::string& path, std::string* refusal = nullptr);
    EspFlashJob& espFlash() { return espFlashJob; }

    // --- device maintenance; each is refused while a job has the line
    void startPayloadListener();
    void startPayloadSender();
    void stopPayloadListener();
    void stopPayloadSender();
    void terminatePayloadListener();
    void terminatePayloadSender();
    void searchPayloadDevices();
    void getInfoFieldsRespond();
    void setDeviceDfuMode();
    // Writes one field of the current device; `value` holds at least the field's value size.
    void setFieldValue(const void* value, unsigned long long index);
    // Writes 1 into the current device's field "reboot" and reconnects the link afterwards.
    void rebootDevice();
    // Only on a COM link, one at a time.
    void scheduleSerialReconnectAfterReboot();
    bool reconnectInProgress() const { return reconnectJob.inProgress(); }

    // --- inspection
    const EraseWait& eraseWait() const { return eraseProbe; }
    RecordedUpload::Record recordedUpload() const { return upload.get(); }
    std::shared_ptr<const FileRequest> lastRequest() const;

    // The device link, the engine, its model and the two workers; the main window knows them
    // by these names.
    UsbCommunication usbCommunication;
    std::unique_ptr<PayloadHandler> payloadHandler;
    std::unique_ptr<Listener> serialListener;
    std::unique_ptr<Sender> serialSender;
    DeviceHandler* deviceHandler = nullptr; // the engine's; set by initPayloadProtocol
    // The device that the window asks and writes: written on the listener thread.
    std::atomic<std::uint64_t> currentDeviceAddress{0};
    // The target chosen in the window (GUI thread; the upload records its own).
    FirmwareTarget firmwareTarget = FirmwareTarget::STM32;

private:
    // Where a running STM32 upload stands; guarded by the engine's mutex.
    enum class Stm32Phase { IDLE, ERASE_WAIT, ERASE_WRITTEN, TRANSFER };

    std::uint8_t currentAddressByte() const { return static_cast<std::uint8_t>(currentDeviceAddress.load()); }

    // A field of a device to write, and the lines that say why it cannot be.
    struct FieldWrite {
        std::uint8_t address = 0;
        const char* name = nullptr; // the field's name; null: by `index`
        std::uint8_t index = 0;
        const char* noDevice = "";  // ERROR when the device is not in the model
        const char* noField = "";   // when the device has no such field ...
        BaseLogger::MessageType noFieldType = BaseLogger::ERROR; // ... at this level
    };
    // Looks the field up, lets `prepare` adjust it (false: stop, it logged why), sets `value`
    // (as many bytes as the field's type has) and asks the device to take it; false, with its
    // line, when it could not be queued.
    bool writeDeviceField(const FieldWrite& write, const void* value,
                          const std::function<bool(Field&)>& prepare = {});
    std::shared_ptr<FileRequest> newRequest(std::uint8_t index, const std::string& path);
    // Starts the listener and the sender; false, with an ERROR line, when no thread can be made.
    bool startWorkers();
    // Runs `request` unless a job has the line (then it is refused with its WARNING).
    template <typename Request> void asDeviceRequest(const char* what, Request request);
    bool flashOverLink(const std::string& path, const TaviskEspSerialFlasher::FlashOptions& options,
                       const EspFlashJob::Progress& progress, std::string* error);
    ReconnectJob::Steps reconnectSteps();
    void refuseImage(FirmwareTarget target, const std::string& cause, std::string* refusal);
    // Schedules the reconnect for the RECONNECT job that has the line; false when it cannot run.
    bool startReconnect();

    // The steps of tickStm32Upload, under the engine's mutex.
    UploadTick tickEraseWait();
    UploadTick tickEraseWritten();
    UploadTick tickTransfer();
    bool answerOverdue(MessageType type);
    std::string pendingFileRequestText();
    UploadTick endStm32Upload(std::string failure);

    LoggerManager* logger;
    // Before the jobs: their workers free the line as they end.
    LineOwner line;
    EraseWait eraseProbe;
    RecordedUpload upload;
    Stm32Phase stm32Phase = Stm32Phase::IDLE;
    std::uint64_t transfersBefore = 0; // completed transfers when this upload's transfer began
    // Guards `newestRequest`: made on the GUI thread (erase) and on the listener thread
    // (firmware). A record stays alive while anyone holds it, so none is freed while read.
    mutable std::mutex requestMutex;
    std::shared_ptr<FileRequest> newestRequest;
    // Last: their workers use everything above, so they are joined before it goes.
    EspFlashJob espFlashJob;
    ReconnectJob reconnectJob;
};
