#include "control/ReconnectJob.h"

#include "control/WindowLines.h"

#include <utility>

ReconnectJob::ReconnectJob(Steps jobSteps, std::unique_ptr<Clock> jobClock)
    : steps(std::move(jobSteps)), clock(std::move(jobClock)),
      worker("reconnect worker", WindowLines::kPrefix) {}

ReconnectJob::~ReconnectJob() {
    cancelAndJoin();
}

bool ReconnectJob::schedule() {
    return worker.start([this] { run(); }, steps.finished);
}

void ReconnectJob::cancelAndJoin() {
    clock->cancel();
    worker.join();
}

void ReconnectJob::run() {
    if (!clock->sleepFor(kRebootDelay))
        return;
    steps.stopWorkers();
    steps.disconnect();
    if (!clock->sleepFor(kAfterClose))
        return;
    bool open = false;
    for (int attempt = 0; attempt < kTries && !open; ++attempt) {
        open = steps.connect();
        if (!open && !clock->sleepFor(kBetweenTries))
            return;
    }
    if (!open)
        return;
    if (!clock->sleepFor(kAfterOpen) || !clock->sleepFor(kSettle))
        return;
    steps.restartWorkers();
}
