#pragma once

#include <mutex>
#include <string>

class LoggerManager;

// Which job has the serial line. One job at a time: an STM32 upload (from its start through the
// erase wait and the transfer to its end), an ESP32 flash, a reconnect, and the short ones (a
// search, a connect or a disconnect) that end within the call that asks for them. A job asked
// for while another has the line is refused here, with one WARNING that names both, whatever
// the window lets the user press.
//
// Thread-safe. `mutex` is held only to read or change the job, and never while anything else
// is locked or called: it is the last lock taken.
class LineOwner {
public:
    enum class Job { NONE, SEARCH, CONNECT, DISCONNECT, STM32_UPLOAD, ESP32_FLASH, RECONNECT, DEVICE_REQUEST };

    LineOwner();

    // "an STM32 upload", "a device search", ...
    static const char* name(Job job);

    // Gives the line to `job`; false, with the WARNING "<refused> refused: <running job> is
    // running" (also left in `why` when given), while another job has it.
    bool take(Job job, const std::string& refused, std::string* why = nullptr);
    // Frees the line if `job` has it.
    void release(Job job);
    Job running() const;

private:
    LoggerManager* logger;
    mutable std::mutex mutex;
    Job job = Job::NONE;
};
