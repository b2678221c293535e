#include "control/LineOwner.h"

#include "control/WindowLines.h"
#include "core/LoggerManager.h"

namespace {
using WindowLines::kPrefix;
}

LineOwner::LineOwner() : logger(&LoggerManager::getInstance()) {}

const char* LineOwner::name(Job job) {
    switch (job) {
    case Job::NONE:
        return "nothing";
    case Job::SEARCH:
        return "a device search";
    case Job::CONNECT:
        return "a connect";
    case Job::DISCONNECT:
        return "a disconnect";
    case Job::STM32_UPLOAD:
        return "an STM32 upload";
    case Job::ESP32_FLASH:
        return "an ESP32 flash";
    case Job::RECONNECT:
        return "a reconnect";
    case Job::DEVICE_REQUEST:
        return "a device request";
    }
    return "a job";
}

bool LineOwner::take(Job wanted, const std::string& refused, std::string* why, const char* sameJobLine) {
    Job holder = Job::NONE;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (job == Job::NONE) {
            job = wanted;
            return true;
        }
        holder = job;
    }
    if (holder == wanted && sameJobLine)
        logger->log(sameJobLine, BaseLogger::WARNING, kPrefix);
    const std::string line = refused + " refused: " + name(holder) + " is running";
    logger->log(line, BaseLogger::WARNING, kPrefix);
    if (why)
        *why = line;
    return false;
}

void LineOwner::release(Job done) {
    std::lock_guard<std::mutex> lock(mutex);
    if (job == done)
        job = Job::NONE;
}

LineOwner::Job LineOwner::running() const {
    std::lock_guard<std::mutex> lock(mutex);
    return job;
}

LineOwner::Claim::Claim(LineOwner& lineOwner, Job wanted, const std::string& refused, std::string* why,
                        const char* sameJobLine)
    : owner(lineOwner), job(wanted), held(lineOwner.take(wanted, refused, why, sameJobLine)) {}

LineOwner::Claim::~Claim() {
    if (held && !kept)
        owner.release(job);
}
