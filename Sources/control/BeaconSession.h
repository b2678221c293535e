#pragma once

#include "control/EraseCmd.h"
#include "control/EraseWait.h"
#include "control/EspFlashJob.h"
#include "control/ReconnectJob.h"
#include "control/RecordedUpload.h"
#include "core/GlobalHandlerEvents.h"
#include "link/FastCrc8.h"
#include "link/FileRequest.h"
#include "link/PayloadHandler.h"
#include "link/SerialListener.h"
#include "link/SerialSender.h"
#include "link/UsbCommunication.h"

#include <atomic>
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
// Threads: the GUI thread calls everything except what the protocol side fires on the
// listener thread (setCurrentDeviceAddr, getInfoFields, loadFirmware and writeFirmware).
// What both threads touch is an atomic (currentDeviceAddress, firmwareTarget) or guarded
// (the recorded upload and lastRequest by their own mutexes, the engine and the model by the
// engine's mutex). The erase wait belongs to the GUI thread.
class BeaconSession {
public:
    using Listener = PayloadProtocol::SerialListener<UsbCommunication&, PayloadHandler>;
    using Sender = PayloadProtocol::SerialSender<256, UsbCommunication&, PayloadHandler, FastCrc8>;
    using Status = GlobalHandlerEvents::HandlerEventsStatus;

    enum class Stm32Start {
        REFUSED,       // no uploadable image: nothing was sent
        TIMER_NEEDED,  // the erase wait is armed; start its 200 ms timer
        TIMER_RUNNING, // the erase wait is armed again; its timer runs already
    };

    // `onEspFlashReport` runs on the ESP32 flash worker after each percentage and at the end.
    explicit BeaconSession(std::function<void()> onEspFlashReport = {});
    // shutdown().
    ~BeaconSession();
    BeaconSession(const BeaconSession&) = delete;
    BeaconSession& operator=(const BeaconSession&) = delete;

    // Creates the engine, the listener and the sender, without starting them. Call once,
    // before anything else.
    void initPayloadProtocol();
    // Waits for a running ESP32 flash, cuts a reconnect short and joins it, then ends the
    // listener and the sender. Afterwards no worker of the session runs.
    void shutdown();

    bool isLinkConnected() { return usbCommunication.isConnected(); }

    // --- what the registry handlers do
    // SEARCH_DEVICES: starts the listener and the sender and sends a search.
    Status searchDevices();
    // GET_INFO_FIELDS_RESPOND: asks the current device for its field descriptions.
    Status getInfoFields();
    // SET_CURRENT_DEVICE_ADDR: adopts the device just added and fires GET_INFO_FIELDS_RESPOND.
    Status setCurrentDeviceAddr();
    // UPLOAD_FIRMWARE with LOAD_FIRMWARE: sends the recorded STM32 image.
    Status loadFirmware();

    // --- STM32 upload
    // UPLOAD_FIRMWARE with START_UPLOAD for the STM32: records the image (refused, with a
    // WARNING, when it is not uploadable), starts the workers, arms the erase wait and searches.
    Stm32Start startStm32Upload(const std::string& path);
    // One tick of the erase wait; false ends its timer.
    bool probeStm32EraseReady();
    // Writes `cmd` into the current device's field "erase" (as a 4-byte value).
    void eraseMemorySector(EraseCmd cmd, const std::string& text);
    // Hands the recorded image to the engine, which starts the transfer; false when there is
    // none.
    bool writeFirmware();

    // --- ESP32 flash
    // Records the ESP32 upload, ends an erase wait and starts the flash job; false when a
    // flash runs already. The job ends the listener and the sender first: the flash needs
    // the line to itself.
    bool startEsp32Flash(const std::string& path);
    EspFlashJob& espFlash() { return espFlashJob; }

    // --- device maintenance
    void startPayloadListener() { serialListener->start(false); }
    void startPayloadSender() { serialSender->start(false); }
    void stopPayloadListener() { serialListener->stop(); }
    void stopPayloadSender() { serialSender->stop(); }
    void terminatePayloadListener() { serialListener->terminate(); }
    void terminatePayloadSender() { serialSender->terminate(); }
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
    // SelectFirmwareBox::FirmwareTarget: 0 STM32, 1 ESP32.
    std::atomic<std::int32_t> firmwareTarget{0};

private:
    std::uint8_t currentAddressByte() const { return static_cast<std::uint8_t>(currentDeviceAddress.load()); }
    std::shared_ptr<FileRequest> newRequest(std::uint8_t index, const std::string& path);
    bool flashOverLink(const std::string& path, const TaviskEspSerialFlasher::FlashOptions& options,
                       const EspFlashJob::Progress& progress, std::string* error);
    ReconnectJob::Steps reconnectSteps();

    LoggerManager* logger;
    EraseWait eraseProbe;
    RecordedUpload upload;
    // Guards `newestRequest`: made on the GUI thread (erase) and on the listener thread
    // (firmware). A record stays alive while anyone holds it, so none is freed while read.
    mutable std::mutex requestMutex;
    std::shared_ptr<FileRequest> newestRequest;
    // Last: their workers use everything above, so they are joined before it goes.
    EspFlashJob espFlashJob;
    ReconnectJob reconnectJob;
};
