// The registry handlers of the main window: language, quit, connection, target, file
// chooser, device search and the current device.
#include "app/MainWindow.h"

#include "control/WindowLines.h"
#include "core/LoggerManager.h"
#include "platform/ProcessServices.h"
#include "widgets/ConnectionDialog.h"
#include "widgets/OpenFileDialog.h"
#include "widgets/SelectFirmwareBox.h"

namespace {

using WindowLines::kPrefix;

using Status = MainWindow::Status;

} // namespace

std::atomic<MainWindow*> MainWindow::liveWindow{nullptr};

void MainWindow::initGlobalHandlersEvents() {
    liveWindow = this;
    // A signal to end ends the program as Quit does: the workers are joined, the port closed.
    quitOnTerminationSignals([](const char* signalName) {
        if (MainWindow* window = liveWindow.load())
            window->quitOnSignal(signalName);
    });
    // Each handler reaches the live window: a handler registered by an earlier window stays in
    // the registry for good, and must not call a window that is gone.
    const auto route = [](Status (MainWindow::*handler)()) {
        return [handler] {
            MainWindow* window = liveWindow.load();
            return window ? (window->*handler)() : GlobalHandlerEvents::FAILURE;
        };
    };
    // The device model's keys come from the listener thread, also while the window goes:
    // without a window there is no model to answer them from.
    const auto modelRoute = [](Status (MainWindow::*handler)()) {
        return [handler] {
            if (MainWindow* window = liveWindow.load())
                return (window->*handler)();
            LoggerManager::getInstance().log("deviceHandler doesn't exist!!!", BaseLogger::ERROR, kPrefix);
            return GlobalHandlerEvents::FAILURE;
        };
    };
    const auto fileRoute = [](HandlersFuncKeys key) {
        return [key] {
            MainWindow* window = liveWindow.load();
            HandlersFuncKeys firedKey = key;
            return window ? window->searchFileHandler(firedKey) : GlobalHandlerEvents::FAILURE;
        };
    };
    GlobalHandlerEvents::addHandler(SWITCH_LANG, route(&MainWindow::changeLanguageHandler));
    GlobalHandlerEvents::addHandler(QUIT_APP, route(&MainWindow::quitAppHandler));
    GlobalHandlerEvents::addHandler(CONNECT_DIALOG_OPEN, route(&MainWindow::connectHandler));
    GlobalHandlerEvents::addHandler(DISCONNECT, route(&MainWindow::disconnectHandler));
    GlobalHandlerEvents::addHandler(SELECT_STM32, route(&MainWindow::selectStm32Handler));
    GlobalHandlerEvents::addHandler(SELECT_ESP32, route(&MainWindow::selectEsp32Handler));
    GlobalHandlerEvents::addHandler(SEARCH_FILE_STM32, fileRoute(SEARCH_FILE_STM32));
    GlobalHandlerEvents::addHandler(SEARCH_FILE_ESP32, fileRoute(SEARCH_FILE_ESP32));
    GlobalHandlerEvents::addHandlerWithArgs<LoadStage>(UPLOAD_FIRMWARE, [](LoadStage stage) {
        MainWindow* window = liveWindow.load();
        return window ? window->uploadFirmwareHandler(stage) : GlobalHandlerEvents::FAILURE;
    });
    GlobalHandlerEvents::addHandler(SEARCH_DEVICES, route(&MainWindow::searchDevicesHandler));
    GlobalHandlerEvents::addHandler(GET_INFO_FIELDS_RESPOND, modelRoute(&MainWindow::getInfoFieldsHandler));
    GlobalHandlerEvents::addHandler(SET_CURRENT_DEVICE_ADDR,
                                    modelRoute(&MainWindow::setCurrentDeviceAddrHandler));
    GlobalHandlerEvents::addHandler(UPDATE_LOADING_STATUS, route(&MainWindow::updateLoadStatusHandler));
}

Status MainWindow::changeLanguageHandler() {
    logger->log("ChangeLanguage", BaseLogger::DEBUG, kPrefix);
    widgets.relabelAll();
    return GlobalHandlerEvents::SUCCESS;
}

Status MainWindow::quitAppHandler() {
    logger->log("QuitApp", BaseLogger::DEBUG, kPrefix);
    reportEnd("Quit", false);
    requestQuit();
    return GlobalHandlerEvents::SUCCESS;
}

void MainWindow::quitOnSignal(const char* signalName) {
    reportEnd(std::string("Ended by signal ") + signalName, true);
    requestQuit();
}

void MainWindow::requestQuit() {
    quitRequested = true;
    // The main loop ends only once control is back in it, and the chooser's run() holds it in
    // a loop of its own until the chooser is answered: answered as cancelled, it keeps the
    // path the selection box has. Each request answers it, so a later signal is never lost.
    if (fileChooserRunning && widgets.openFileDialog)
        widgets.openFileDialog->response(Gtk::RESPONSE_CANCEL);
    if (application)
        application->quit();
}

void MainWindow::reportEnd(const std::string& cause, bool evenWhenIdle) {
    if (endReported)
        return;
    const std::string abandoned = session.abandonedJobText();
    if (abandoned.empty() && !evenWhenIdle)
        return;
    endReported = true;
    logger->log(abandoned.empty() ? cause + " while nothing was running" : cause + " during " + abandoned,
                BaseLogger::WARNING, kPrefix);
}

Status MainWindow::connectHandler() {
    logger->log("Connect USB Device", BaseLogger::INFO, kPrefix);
    if (!widgets.connectionDialog) {
        logger->log("Could not open Connection window", BaseLogger::WARNING, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    // The dialog reaches the link through the session, which refuses while a job has the line.
    widgets.connectionDialog->setUsbConnetctionPtr(session);
    widgets.connectionDialog->setOwner(this);
    widgets.connectionDialog->show();
    // The dialog makes its owner sensitive again when it hides.
    set_sensitive(false);
    return GlobalHandlerEvents::SUCCESS;
}

Status MainWindow::disconnectHandler() {
    logger->log("Disconnect USB Device", BaseLogger::INFO, kPrefix);
    if (!widgets.connectionDialog)
        return GlobalHandlerEvents::FAILURE;
    return widgets.connectionDialog->disconnect() == 0 ? GlobalHandlerEvents::SUCCESS
                                                       : GlobalHandlerEvents::FAILURE;
}

Status MainWindow::selectStm32Handler() {
    logger->log("Off sensitive for search/download ESP32 and On for STM32", BaseLogger::DEBUG, kPrefix);
    return selectTarget(FirmwareTarget::STM32);
}

Status MainWindow::selectEsp32Handler() {
    logger->log("Off sensitive for search/download STM32 and On for ESP32", BaseLogger::DEBUG, kPrefix);
    return selectTarget(FirmwareTarget::ESP32);
}

Status MainWindow::selectTarget(FirmwareTarget target) {
    if (!widgets.selectFirmwareBox)
        return GlobalHandlerEvents::FAILURE;
    widgets.selectFirmwareBox->selectTarget(target);
    return GlobalHandlerEvents::SUCCESS;
}

Status MainWindow::searchFileHandler(HandlersFuncKeys& key) {
    logger->log("Start searching file", BaseLogger::INFO, kPrefix);
    if (!widgets.openFileDialog) {
        logger->log("openFileDialog doesn't exist!!!", BaseLogger::ERROR, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    // A click that waited its turn behind a quit: the main loop ends when this handler
    // returns, and a chooser run now would keep it waiting for an answer.
    if (quitRequested) {
        logger->log("The file chooser is not opened: the program is ending", BaseLogger::INFO, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    // Only Open takes the chosen file: Cancel, or closing the chooser, keeps the path the
    // selection box has, even while the chooser still shows a selected file.
    std::string path;
    fileChooserRunning = true;
    const int response = widgets.openFileDialog->run();
    fileChooserRunning = false;
    if (response == Gtk::RESPONSE_OK) {
        logger->log("Open File Dialog is open!", BaseLogger::DEBUG, kPrefix);
        path = widgets.openFileDialog->get_filename();
    }
    widgets.openFileDialog->hide();
    if (path.empty()) {
        logger->log("File not found or path is not set!", BaseLogger::WARNING, kPrefix);
        logger->log("Close file dialog window!", BaseLogger::INFO, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    if (!widgets.selectFirmwareBox) {
        logger->log("selectFirmwareBox doesn't exist!!!", BaseLogger::ERROR, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    logger->log("File path was set", BaseLogger::DEBUG, kPrefix);
    widgets.selectFirmwareBox->setFilePath(path, key);
    logger->log("Close file dialog window!", BaseLogger::INFO, kPrefix);
    return GlobalHandlerEvents::SUCCESS;
}

Status MainWindow::searchDevicesHandler() {
    return session.searchDevices();
}

Status MainWindow::getInfoFieldsHandler() {
    return session.getInfoFields();
}

Status MainWindow::setCurrentDeviceAddrHandler() {
    return session.setCurrentDeviceAddr();
}
