// The upload handler of both targets, the STM32 erase wait's timer, and the progress display
// of the STM32 transfer and of the ESP32 flash.
#include "app/MainWindow.h"

#include "control/ProgressText.h"
#include "control/WindowLines.h"
#include "core/LoggerManager.h"
#include "widgets/SelectFirmwareBox.h"

#include <glibmm/main.h>

namespace {

using WindowLines::kPrefix;

using Status = MainWindow::Status;

} // namespace

Status MainWindow::uploadFirmwareHandler(LoadStage stage) {
    if (!session.isConnected())
        return GlobalHandlerEvents::FAILURE;
    if (stage == LOAD_FIRMWARE)
        return session.loadFirmware(); // listener thread: no widget here
    if (stage != START_UPLOAD)
        return GlobalHandlerEvents::SUCCESS;

    // Every Upload starts the display afresh, a refused one too (its line then shows alone),
    // except one refused because a job runs: that job's display stays.
    if (!session.busy())
        resetJobDisplay();
    if (!widgets.selectFirmwareBox) {
        logger->log("selectFirmwareBox don't exist!!!", BaseLogger::ERROR, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    if (widgets.selectFirmwareBox->target() == FirmwareTarget::ESP32)
        return flashEsp32Firmware() ? GlobalHandlerEvents::SUCCESS : GlobalHandlerEvents::FAILURE;

    std::string refusal;
    if (!session.startStm32Upload(widgets.selectFirmwareBox->getFilePath(), &refusal)) {
        showFailure(refusal);
        return GlobalHandlerEvents::FAILURE;
    }
    beginJobDisplay();
    // The upload's ticks run until it ends, whichever way; an earlier timer has ended with its
    // upload, since only one runs at a time.
    if (!eraseProbeConnection.connected())
        eraseProbeConnection = Glib::signal_timeout().connect(
            sigc::mem_fun(*this, &MainWindow::probeStm32EraseReady), Stm32UploadJob::kTickInterval.count());
    return GlobalHandlerEvents::SUCCESS;
}

void MainWindow::resetJobDisplay() {
    if (widgets.loadStatusBar)
        widgets.loadStatusBar->set_value(0);
    if (widgets.loadStatusLabel)
        widgets.loadStatusLabel->set_text(ProgressText::label(0, false));
    if (widgets.appStatusbar && flashContextId != 0)
        widgets.appStatusbar->remove_all_messages(flashContextId);
}

void MainWindow::beginJobDisplay() {
    resetJobDisplay();
    widgets.setJobControlsSensitive(false);
}

void MainWindow::showFailure(const std::string& line) {
    if (line.empty() || !widgets.appStatusbar || flashContextId == 0)
        return;
    widgets.appStatusbar->remove_all_messages(flashContextId);
    widgets.appStatusbar->push(line, flashContextId);
}

bool MainWindow::probeStm32EraseReady() {
    const BeaconSession::UploadTick tick = session.tickStm32Upload();
    showStm32End(tick);
    return tick.keepTicking;
}

void MainWindow::showStm32End(const BeaconSession::UploadTick& tick) {
    if (!tick.ended)
        return;
    widgets.setJobControlsSensitive(true);
    if (tick.succeeded)
        updateLoadStatusUi();
    else
        showFailure(tick.failure); // the label keeps its percentage; the reason goes under it
}

Status MainWindow::updateLoadStatusHandler() {
    if (!widgets.loadStatusBar) {
        logger->log("loadStatusBar doesn't exist!!!", BaseLogger::ERROR, kPrefix);
        return GlobalHandlerEvents::FAILURE;
    }
    if (std::this_thread::get_id() == guiThreadId) {
        updateLoadStatusUi();
        return GlobalHandlerEvents::SUCCESS;
    }
    // One redraw queued at a time: it reads the newest percentage when it runs.
    bool queued = false;
    if (progressUpdatePending.compare_exchange_strong(queued, true))
        progressDispatcher.emit();
    return GlobalHandlerEvents::SUCCESS;
}

void MainWindow::onPayloadProgressUiUpdate() {
    // Cleared before the redraw, so that a report during it queues another.
    progressUpdatePending.exchange(false);
    // The device's confirmation ends the upload here, in the turn that shows its success:
    // the controls come back with the success text, and a quit from then on abandons nothing.
    showStm32End(session.finishConfirmedStm32Upload());
    updateLoadStatusUi();
}

void MainWindow::updateLoadStatusUi() {
    if (!widgets.loadStatusBar)
        return;
    // 100 only once the device has confirmed the whole image.
    const unsigned percent = session.payloadHandler->transferPercent.load();
    widgets.loadStatusBar->set_value(percent);
    if (widgets.loadStatusLabel)
        widgets.loadStatusLabel->set_text(ProgressText::label(percent, true));
}

bool MainWindow::flashEsp32Firmware() {
    if (!widgets.selectFirmwareBox) {
        logger->log("selectFirmwareBox don't exist!!!", BaseLogger::ERROR, kPrefix);
        return false;
    }
    if (!widgets.loadStatusBar) {
        logger->log("loadStatusBar doesn't exist!!!", BaseLogger::ERROR, kPrefix);
        return false;
    }
    std::string refusal;
    if (!session.startEsp32Flash(widgets.selectFirmwareBox->getFilePath(), &refusal)) {
        showFailure(refusal);
        return false;
    }
    // The worker's news reach this thread only after this handler has returned.
    beginJobDisplay();
    set_sensitive(false);
    return true;
}

void MainWindow::onEspFlashUiUpdate() {
    // Cleared before reading, so that news from the worker meanwhile queue another run.
    espFlashUpdatePending.exchange(false);
    EspFlashJob& job = session.espFlash();
    const unsigned percent = job.percent();
    if (widgets.loadStatusBar)
        widgets.loadStatusBar->set_value(percent);
    if (widgets.loadStatusLabel)
        widgets.loadStatusLabel->set_text(ProgressText::label(percent, job.succeeded()));
    // Reports still queued when the flash ended come here afterwards: the end is handled once.
    const auto result = job.takeCompletion();
    if (!result)
        return;
    set_sensitive(true);
    widgets.setJobControlsSensitive(true);
    if (!result->ok) {
        const std::string line = EspFlashJob::failureLine(result->error);
        logger->log(line, BaseLogger::ERROR, kPrefix);
        showFailure(line);
        return;
    }
    if (widgets.loadStatusBar)
        widgets.loadStatusBar->set_value(100);
    if (widgets.loadStatusLabel)
        widgets.loadStatusLabel->set_text(ProgressText::kSuccess);
    logger->log("ESP32 flashing completed", BaseLogger::INFO, kPrefix);
}
