#pragma once

#include "control/BeaconSession.h"
#include "tests/support/VirtualClock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tavisk::test {

using Sender = BeaconSession::Sender;
using Listener = BeaconSession::Listener;

// The main window's session (link, engine, listener, sender, erase wait, upload) without the
// window, for end-to-end tests and benchmarks. What the window registers for the keys that
// the protocol side fires is routed here to the session's own handlers: SET_CURRENT_DEVICE_ADDR,
// GET_INFO_FIELDS_RESPOND, UPLOAD_FIRMWARE with LOAD_FIRMWARE, and UPDATE_LOADING_STATUS
// (counted). One rig at a time: the registry keeps the first handler of a key for the whole
// process, so the routes are registered once and reach the live rig.
//
// The upload's answers are timed on a virtual clock, which the rig moves on by the tick
// interval with every tick it makes (so it keeps pace with the line) and a test may move on
// further: an answer overdue by the reply time and the grace is then had in no real time.
class SessionRig {
public:
    SessionRig();
    ~SessionRig();
    SessionRig(const SessionRig&) = delete;
    SessionRig& operator=(const SessionRig&) = delete;

    // Connects the link to the port and starts the listener and then the sender.
    bool connect(const std::string& portName, std::string* error = nullptr);
    // Stops every worker of the session.
    void stop();

    // The image to upload, written to a file for the session.
    void setImage(const std::vector<std::uint8_t>& image);
    // A device search, then waits until the current device and its field "erase" are in the
    // model.
    bool discover(std::chrono::milliseconds deadline = std::chrono::seconds(20));
    // The Upload button for the STM32, with this thread as the GUI thread: records the image,
    // searches, and ticks the upload until its erase wait ends. True when it ended by writing
    // the erase code (whose acknowledgement starts the transfer).
    bool startUpload();
    // Ticks the running upload, as the window's timer does, until it ends (or the deadline
    // passes: then `ended` is false). `between` runs on this thread between the ticks.
    BeaconSession::UploadTick runUpload(std::chrono::milliseconds deadline,
                                        const std::function<void()>& between = {});
    // One tick of the running upload, at once and without moving the clock.
    BeaconSession::UploadTick tick() { return windowSession.tickStm32Upload(); }
    // The clock that times the upload's answers.
    VirtualClock& clock() { return *uploadClock; }
    // Waits until the engine has announced 100 % (the closing request was answered).
    bool waitForTransferEnd(std::chrono::milliseconds deadline);

    BeaconSession& session() { return windowSession; }
    UsbCommunication& link() { return windowSession.usbCommunication; }
    PayloadHandler& engine() { return *windowSession.payloadHandler; }
    Listener& listener() { return *windowSession.serialListener; }
    Sender& sender() { return *windowSession.serialSender; }

    int loadFirmwareCount() const { return loadFirmware.load(); }
    int statusUpdateCount() const { return statusUpdates.load(); }
    const std::string& imagePath() const { return path; }

private:
    explicit SessionRig(std::unique_ptr<VirtualClock> clock);
    static void registerRoutes();
    void onLoadingStatus();
    // Waits one tick interval on the line and moves the upload's clock on by as much.
    void waitOneTick();

    VirtualClock* uploadClock; // the session's
    BeaconSession windowSession;
    std::string path;
    std::atomic<int> loadFirmware{0};
    std::atomic<int> statusUpdates{0};
    // Guards nothing but the wait for the end of a transfer.
    std::mutex endMutex;
    std::condition_variable ended;
};

} // namespace tavisk::test
