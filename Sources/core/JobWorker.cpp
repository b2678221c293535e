#include "core/JobWorker.h"

#include "core/LoggerManager.h"

#include <exception>
#include <utility>

JobWorker::JobWorker(std::string workerName, std::string linePrefix, ThreadFactory factory)
    : name(std::move(workerName)), prefix(std::move(linePrefix)), makeThread(std::move(factory)),
      logger(&LoggerManager::getInstance()) {
    if (!makeThread)
        makeThread = [](Body body) { return std::thread(std::move(body)); };
}

JobWorker::~JobWorker() {
    join();
}

bool JobWorker::start(Body job, Body afterwards) {
    if (running.load())
        return false;
    join(); // a job that has ended, or is in its `afterwards`
    running = true;
    try {
        thread = makeThread(
            [this, job = std::move(job), afterwards = std::move(afterwards)] { run(job, afterwards); });
    } catch (const std::exception& error) {
        running = false;
        logger->log(name + " could not start: " + error.what(), BaseLogger::ERROR, prefix);
        return false;
    }
    return true;
}

void JobWorker::join() {
    if (thread.joinable())
        thread.join();
}

void JobWorker::run(const Body& job, const Body& afterwards) {
    guarded(job);
    running = false;
    if (afterwards)
        guarded(afterwards);
}

void JobWorker::guarded(const Body& body) {
    try {
        body();
    } catch (const std::exception& error) {
        logger->log(name + " ended by an exception: " + error.what(), BaseLogger::ERROR, prefix);
    } catch (...) {
        logger->log(name + " ended by an unknown exception", BaseLogger::ERROR, prefix);
    }
}
