#pragma once

#include "FastCrc8.h"
#include "PayloadHandler.h"
#include "SerialListener.h"
#include "SerialSender.h"
#include "UsbCommunication.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tavisk::test {

using Sender = PayloadProtocol::SerialSender<256, UsbCommunication&, PayloadHandler, FastCrc8>;
using Listener = PayloadProtocol::SerialListener<UsbCommunication&, PayloadHandler>;

// The parts of the main window that the STM32 road needs, for end-to-end tests: the real
// link, engine, listener and sender, and stand-ins for the window's handlers of
// SET_CURRENT_DEVICE_ADDR (adopt the new device, ask for its field descriptions),
// UPLOAD_FIRMWARE with LOAD_FIRMWARE (hand the image file to the engine) and
// UPDATE_LOADING_STATUS (count). One at a time: the registry keeps the first handler of a
// key, so the handlers are registered once and reach the live stand-in.
class StandInWindow {
public:
    StandInWindow();
    ~StandInWindow();
    StandInWindow(const StandInWindow&) = delete;
    StandInWindow& operator=(const StandInWindow&) = delete;

    // Connects the link to the port and starts the listener and then the sender.
    bool connect(const std::string& portName, std::string* error = nullptr);
    // Stops the workers (listener, then sender).
    void stop();

    // The image to upload, written to a file for the engine.
    void setImage(const std::vector<std::uint8_t>& image);
    // What the main window does: search, then wait until the current device and its field
    // "erase" are in the model.
    bool discover(std::chrono::milliseconds deadline = std::chrono::seconds(20));
    // Writes the erase code into the current device's field "erase" (4-byte type); false
    // when the model lacks the device or the field.
    bool writeEraseCode();
    // Waits until the engine has announced 100 % (the closing request was answered).
    bool waitForTransferEnd(std::chrono::milliseconds deadline);

    UsbCommunication& link() { return usb; }
    PayloadHandler& engine() { return protocol; }
    Listener& listener() { return serialListener; }
    Sender& sender() { return serialSender; }

    std::uint8_t currentAddress() const { return current.load(); }
    int loadFirmwareCount() const { return loadFirmware.load(); }
    int statusUpdateCount() const { return statusUpdates.load(); }
    const std::string& imagePath() const { return path; }

private:
    static void registerHandlers();
    void onCurrentDevice();
    void onLoadFirmware();
    void onLoadingStatus();

    UsbCommunication usb;
    PayloadHandler protocol;
    Listener serialListener;
    Sender serialSender;
    std::string path;

    std::atomic<std::uint8_t> current{0xFF};
    std::atomic<int> loadFirmware{0};
    std::atomic<int> statusUpdates{0};
    // Guards nothing but the wait for the end of a transfer.
    std::mutex endMutex;
    std::condition_variable ended;
};

} // namespace tavisk::test
