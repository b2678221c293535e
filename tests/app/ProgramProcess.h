#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tavisk::test {

class PrivateDisplay;

// The program itself (TAVISK_PROGRAM) in a child process on a private display, with its logs
// in `folder`: the start-up log `startup.log` (TAVISK_LOG_PATH), the application log
// (TAVISK_LOG_DIR), and what it prints on standard output, `console.log`, and on standard
// error, `stderr.log`. HOME and TMPDIR are `folder` too, so that nothing of the user's is
// read or written. The rest of the environment is the caller's, without TAVISK_LOG_LEVEL and
// TAVISK_UI_GLADE.
class ProgramProcess {
public:
    // `settings`: "NAME=value" entries added to or replacing the above; "NAME=" removes NAME.
    // By default the accessibility bridge is off (NO_AT_BRIDGE=1).
    ProgramProcess(const PrivateDisplay& display, const std::string& folder, const std::string& serialPorts,
                   const std::vector<std::string>& settings = {});
    // Kills the program if it is still running.
    ~ProgramProcess();
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    pid_t pid() const { return child; }
    const std::string& consolePath() const { return console; }
    std::string startupLogPath() const { return folder + "/startup.log"; }
    std::string errorPath() const { return folder + "/stderr.log"; }
    // The application log: the one file "application_*.log" in the folder ("" while none).
    std::string applicationLogPath() const;

    // Whether standard output holds the text, looked at until the deadline.
    bool logged(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(20)) const;
    // Waits for the end; true when it ended by itself within the deadline (then `status`).
    bool waitForEnd(std::chrono::milliseconds deadline);
    bool ended() const { return hasEnded; }
    int status() const { return exitStatus; }
    // The resident set size in KiB (VmRSS), -1 when it cannot be read.
    long residentKiB() const;

private:
    const std::string folder;
    const std::string console;
    pid_t child = -1;
    bool hasEnded = false;
    int exitStatus = 0;
};

// Whether the terminal at `path` is held for exclusive use: an open of it is refused, or a
// descriptor of it reports the flag (root's opens are not refused).
bool heldExclusively(const std::string& path);

} // namespace tavisk::test
