#include "control/ReconnectJob.h"

#include "core/LoggerManager.h"

#include <system_error>
#include <utility>

ReconnectJob::ReconnectJob(Steps jobSteps, std::unique_ptr<Sleeper> jobSleeper)
    : steps(std::move(jobSteps)), sleeper(std::move(jobSleeper)) {}

ReconnectJob::~ReconnectJob() {
    cancelAndJoin();
}

bool ReconnectJob::schedule() {
    if (running.exchange(true))
        return false;
    if (worker.joinable())
        worker.join(); // an earlier reconnect that ended
    try {
        worker = std::thread([this] { run(); });
    } catch (const std::system_error& error) {
        running = false;
        LoggerManager::getInstance().log(std::string("reconnect worker could not start: ") + error.what(),
                                         BaseLogger::ERROR, "MainWindow: ");
        return false;
    }
    return true;
}

void ReconnectJob::cancelAndJoin() {
    sleeper->cancel();
    if (worker.joinable())
        worker.join();
}

void ReconnectJob::run() {
    struct EndOfRun {
        std::atomic<bool>& flag;
        const std::function<void()>& finished;
        ~EndOfRun() {
            flag = false;
            if (finished)
                finished();
        }
    } end{running, steps.finished};

    if (!sleeper->sleepFor(kRebootDelay))
        return;
    steps.stopWorkers();
    steps.disconnect();
    if (!sleeper->sleepFor(kAfterClose))
        return;
    bool open = false;
    for (int attempt = 0; attempt < kTries && !open; ++attempt) {
        open = steps.connect();
        if (!open && !sleeper->sleepFor(kBetweenTries))
            return;
    }
    if (!open)
        return;
    if (!sleeper->sleepFor(kAfterOpen) || !sleeper->sleepFor(kSettle))
        return;
    steps.restartWorkers();
}
