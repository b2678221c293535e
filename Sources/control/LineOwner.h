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
    enum class Job {
        NONE,
        SEARCH,
        CONNECT,
        DISCONNECT,
        STM32_UPLOAD,
        ESP32_FLASH,
        RECONNECT,
        DEVICE_REQUEST
    };

    LineOwner();

    // "an STM32 upload", "a device search", ...
    static const char* name(Job job);

    // Gives the line to `job`; false, with the WARNING "<refused> refused: <running job> is
    // running" (also left in `why` when given), while another job has it. When the job that
    // runs is of the kind asked for and `sameJobLine` is given, that WARNING comes first.
    bool take(Job job, const std::string& refused, std::string* why = nullptr,
              const char* sameJobLine = nullptr);
    // Frees the line if `job` has it.
    void release(Job job);
    Job running() const;

    // The line taken for a job that is being started. Whatever way the start is left without
    // the job running (a refusal, a failure, an exception), the line is freed as the claim
    // goes; once the job runs, keep() leaves it to the job, whose end frees it.
    class Claim {
    public:
        // Takes the line as take() does; test the claim to learn whether it was had.
        Claim(LineOwner& owner, Job job, const std::string& refused, std::string* why = nullptr,
              const char* sameJobLine = nullptr);
        ~Claim();
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;

        explicit operator bool() const { return held; }
        void keep() { kept = true; }

    private:
        LineOwner& owner;
        const Job job;
        const bool held;
        bool kept = false;
    };

private:
    LoggerManager* logger;
    mutable std::mutex mutex;
    Job job = Job::NONE;
};
