#pragma once

#include "control/BeaconSession.h"
#include "core/GlobalHandlerEvents.h"
#include "widgets/MainWindowWidgets.h"

#include <glibmm/dispatcher.h>
#include <gtkmm/application.h>
#include <gtkmm/builder.h>
#include <gtkmm/window.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

class LoggerManager;

// The program's only top-level window and its controller, built from the UI definition. The
// widgets never call it: they fire registry keys, and its handlers do the work. What it
// decides without GTK lives in its BeaconSession (link, engine, workers, erase wait, upload,
// ESP32 flash and reconnect jobs); the window adds the widgets, the timer and the two
// dispatchers that bring worker news to the GUI thread. Of the session's objects it names two,
// `session.payloadHandler` and `session.deviceHandler`, and it reaches the widgets as
// `widgets.selectFirmwareBox`, ...: it keeps no second name for any of them. The device maintenance
// operations have no control in the window; they are the session's (BeaconSession::rebootDevice, ...).
//
// Handlers run on the thread that fires their key: the GUI thread, except
// SET_CURRENT_DEVICE_ADDR, GET_INFO_FIELDS_RESPOND, UPLOAD_FIRMWARE with LOAD_FIRMWARE and
// UPDATE_LOADING_STATUS, which the protocol side fires on the listener thread; those touch no
// widget. The keys reach the newest window (the registry keeps the first handler of a key for
// the process, so the handlers route to the window that is alive).
class MainWindow : public Gtk::Window {
public:
    using Status = GlobalHandlerEvents::HandlerEventsStatus;

    // Loads the UI definition (TAVISK_UI_GLADE, else the embedded one, else a file found by
    // resolveGladePath), builds a new window from it and binds its widgets. The caller owns
    // the window. Throws when the definition cannot be loaded or holds no window "MainWindow".
    static MainWindow* getInstance(const char* title, Glib::RefPtr<Gtk::Application>& app);

    // The builder's derived-widget constructor.
    MainWindow(GtkWindow* cobject, const Glib::RefPtr<Gtk::Builder>& builder);
    // Waits for a running ESP32 flash, ends the reconnect, the listener and the sender, then
    // deletes the widgets.
    ~MainWindow() override;

    void initPayloadProtocol();
    void initWidgets(Glib::RefPtr<Gtk::Builder>& builder, Glib::RefPtr<Gtk::Application>& app);

    // --- registry handlers (MainWindowHandlers.cpp)
    Status changeLanguageHandler();
    Status quitAppHandler();
    Status connectHandler();
    Status disconnectHandler();
    Status selectStm32Handler();
    Status selectEsp32Handler();
    Status searchFileHandler(HandlersFuncKeys& key);
    Status searchDevicesHandler();
    Status getInfoFieldsHandler();
    Status setCurrentDeviceAddrHandler();

    // --- upload and progress (MainWindowUpload.cpp)
    Status uploadFirmwareHandler(LoadStage stage);
    // The STM32 upload's timer: one tick of the upload; false once it has ended.
    bool probeStm32EraseReady();
    Status updateLoadStatusHandler();
    void onPayloadProgressUiUpdate();
    void updateLoadStatusUi();
    bool flashEsp32Firmware();
    void onEspFlashUiUpdate();

    // For tests.
    BeaconSession& getSession() { return session; }
    const Glib::RefPtr<Gtk::Builder>& getBuilder() const { return builder; }
    const TaviskBiaconWidgets::MainWindowWidgets& getWidgets() const { return widgets; }

private:
    void initGlobalHandlersEvents();
    // SELECT_STM32 and SELECT_ESP32: the selection box holds the target.
    Status selectTarget(FirmwareTarget target);
    // The progress at 0 and the last failure line gone.
    void resetJobDisplay();
    // A job starts: the display reset, the controls that would start another job insensitive
    // until it ends.
    void beginJobDisplay();
    // A failed or refused upload: its line on the status bar ("flash"), replacing the last.
    void showFailure(const std::string& line);
    // An STM32 upload that ended with this tick: the controls back, and its success text or
    // its failure line; nothing for a tick that ended nothing.
    void showStm32End(const BeaconSession::UploadTick& tick);
    // SIGTERM, SIGINT or SIGHUP: ends the program as Quit does.
    void quitOnSignal(const char* signalName);
    // Quit's and the signals' one way out: the main loop ends, a running file chooser is
    // answered as cancelled, and none is run afterwards.
    void requestQuit();
    // The program ends (`cause`: "Quit", "Ended by signal SIGTERM", ...): one WARNING that says
    // how, when a job runs, and what of it is abandoned; after a signal also when none runs.
    // Once: the first way out is the one that counts.
    void reportEnd(const std::string& cause, bool evenWhenIdle);

    // The window that the registry's handlers reach: the newest one, until it is destroyed.
    static std::atomic<MainWindow*> liveWindow;

    // Declared first: the session's ESP32 flash job emits espFlashDispatcher until the
    // session has joined it.
    Glib::Dispatcher espFlashDispatcher;
    Glib::Dispatcher progressDispatcher;
    BeaconSession session;

    Glib::RefPtr<Gtk::Application> application;
    Glib::RefPtr<Gtk::Builder> builder;
    LoggerManager* logger;
    // The STM32 upload's timer (GUI main loop), every Stm32UploadJob::kTickInterval.
    sigc::connection eraseProbeConnection;

    // After the session: the device list's worker reads the model, so the widgets go first.
    TaviskBiaconWidgets::MainWindowWidgets widgets;
    std::uint32_t flashContextId = 0;

    // A redraw of the STM32 progress is queued on progressDispatcher.
    std::atomic<bool> progressUpdatePending{false};
    // A run of onEspFlashUiUpdate is queued on espFlashDispatcher. One at a time: each reads
    // the newest state, and the dispatcher's pipe never fills while the GUI thread waits for
    // a flash in the destructor.
    std::atomic<bool> espFlashUpdatePending{false};
    const std::thread::id guiThreadId;
    bool endReported = false; // GUI thread only
    // The main loop is to end: no dialog may start a loop of its own. GUI thread only.
    bool quitRequested = false;
    // The file chooser is inside its run(). GUI thread only.
    bool fileChooserRunning = false;
};
