#pragma once

#include "control/EspFlashJob.h"
#include "control/FieldWriter.h"
#include "control/LineOwner.h"
#include "control/ReconnectJob.h"
#include "control/RecordedUpload.h"
#include "control/Stm32UploadJob.h"
#include "core/Clock.h"
#include "core/GlobalHandlerEvents.h"
#include "link/FastCrc8.h"
#include "link/FileRequest.h"
#include "link/LinkControl.h"
#include "link/PayloadHandler.h"
#include "link/SerialListener.h"
#include "link/SerialSender.h"
#include "link/UsbCommunication.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the main window does with the device, without GTK: it owns the link, the protocol
// engine with its device model, the listener and the sender, the STM32 upload job, the ESP32
// flash job and the reconnect job. The window's registry handlers and timer call it; tests
// drive it without a display.
//
// The session owns the serial line: one job at a time (LineOwner). An STM32 upload, an ESP32
// flash, a reconnect, a search, a connect or a disconnect asked for while another job runs is
// refused here with one WARNING, and nothing is sent; the window's sensitivity only spares the
// user the attempt. The connection dialog reaches the link through the session (LinkControl).
//
// Threads: the GUI thread calls everything except what the protocol side fires on the
// listener thread (setCurrentDeviceAddr, getInfoFields, loadFirmware). What both threads touch
// is guarded: the engine and its model by the engine's mutex (the current device is the
// model's), the recorded upload by its own mutex, the line's job by LineOwner, the STM32
// upload as its job says.
class BeaconSession : public LinkControl {
public:
    using Listener = PayloadProtocol::SerialListener<UsbCommunication&, PayloadHandler>;
    using Sender = PayloadProtocol::SerialSender<256, UsbCommunication&, PayloadHandler, FastCrc8>;
    using Status = GlobalHandlerEvents::HandlerEventsStatus;
    using UploadTick = Stm32UploadJob::Tick;

    // Builds the link, the engine with its device model, the listener, the sender and the jobs,
    // without starting anything: nothing of it is ever missing afterwards.
    // `onEspFlashReport` runs on the ESP32 flash worker after each percentage and at the end.
    // `uploadClock` times the STM32 upload's answers (a steady clock when none is given).
    explicit BeaconSession(std::function<void()> onEspFlashReport = {},
                           std::unique_ptr<Clock> uploadClock = {});
    // shutdown().
    ~BeaconSession() override;
    BeaconSession(const BeaconSession&) = delete;
    BeaconSession& operator=(const BeaconSession&) = delete;

    // Waits for a running ESP32 flash, cuts a reconnect short and joins it, ends an STM32
    // upload, then ends the listener and the sender. Afterwards no worker of the session runs.
    void shutdown();

    // The job that has the line now.
    LineOwner::Job runningJob() const { return line.running(); }
    // What the program would abandon if it ended now, for its last line: "an STM32 upload at
    // 42 %: the upload is abandoned and the device is left without its whole image", ...;
    // empty while no job runs. An upload whose whole image the device has confirmed is ended
    // first: nothing of it is abandoned.
    std::string abandonedJobText();
    // The device that the window asks and writes: the one the model added last.
    std::uint8_t currentDeviceAddress() const;

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
    // SET_CURRENT_DEVICE_ADDR: the model has added a device; fires GET_INFO_FIELDS_RESPOND.
    Status setCurrentDeviceAddr();
    // UPLOAD_FIRMWARE with LOAD_FIRMWARE: sends the recorded STM32 image, when the running
    // upload waits for the erase acknowledgement.
    Status loadFirmware();

    // --- STM32 upload (Stm32UploadJob)
    // UPLOAD_FIRMWARE with START_UPLOAD for the STM32; then tick the upload every
    // Stm32UploadJob::kTickInterval until it ends. False, with WARNINGs and nothing sent,
    // while another job has the line or when the image cannot be uploaded; `refusal`, when
    // given, gets the line that says why.
    bool startStm32Upload(const std::string& path, std::string* refusal = nullptr);
    UploadTick tickStm32Upload();
    // As soon as the GUI thread hears that the engine has moved on: ends the upload when the
    // device has confirmed the whole image (Stm32UploadJob::finishIfConfirmed).
    UploadTick finishConfirmedStm32Upload();
    const Stm32UploadJob& stm32Upload() const { return stm32UploadJob; }

    // --- ESP32 flash
    // The flash job (EspFlashJob::start); false when refused, as startStm32Upload. The flash
    // ends the listener and the sender first: it needs the line to itself.
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

    // The device link, the engine, its model and the two workers, made with the session and
    // never replaced; the main window and the tests know them by these names.
    UsbCommunication usbCommunication;
    const std::unique_ptr<PayloadHandler> payloadHandler;
    const std::unique_ptr<Listener> serialListener;
    const std::unique_ptr<Sender> serialSender;
    DeviceHandler* const deviceHandler; // the engine's

private:
    // Starts the listener and the sender; false, with an ERROR line, when no thread can be made.
    bool startWorkers();
    // Runs `request` unless a job has the line (then it is refused with its WARNING).
    template <typename Request> void asDeviceRequest(const char* what, Request request);
    bool flashOverLink(const std::vector<std::uint8_t>& image,
                       const TaviskEspSerialFlasher::FlashOptions& options,
                       const EspFlashJob::Progress& progress, std::string* error);
    Stm32UploadJob::Steps uploadSteps();
    ReconnectJob::Steps reconnectSteps();
    // Schedules the reconnect for the RECONNECT job that has the line; false when it cannot run.
    bool startReconnect();

    LoggerManager* logger;
    const std::unique_ptr<Clock> uploadClock;
    // Before the jobs: their workers free the line as they end.
    LineOwner line;
    RecordedUpload upload;
    FieldWriter fieldWriter; // over the engine's model
    Stm32UploadJob stm32UploadJob;
    // Last: their workers use everything above, so they are joined before it goes.
    EspFlashJob espFlashJob;
    ReconnectJob reconnectJob;
};
