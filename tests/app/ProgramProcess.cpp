#include "tests/app/ProgramProcess.h"

#include "tests/app/ChildProcess.h"
#include "tests/app/PrivateDisplay.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavisk::test {

namespace {

std::string nameOf(const std::string& setting) {
    return setting.substr(0, setting.find('='));
}

} // namespace

ProgramProcess::ProgramProcess(const PrivateDisplay& display, const std::string& logFolder,
                               const std::string& serialPorts, const std::vector<std::string>& settings)
    : folder(logFolder), console(logFolder + "/console.log") {
    std::vector<std::string> own = {
        "TAVISK_LOG_PATH=" + startupLogPath(),
        "TAVISK_LOG_DIR=" + folder,
        "TMPDIR=" + folder,
        "HOME=" + folder,
        "TAVISK_SERIAL_PORTS=" + serialPorts,
        "GSETTINGS_BACKEND=memory",
        "NO_AT_BRIDGE=1",
        "DISPLAY=" + display.name(),
        "TAVISK_LOG_LEVEL=",
        "TAVISK_UI_GLADE=",
    };
    for (const std::string& setting : settings) {
        bool replaced = false;
        for (std::string& entry : own)
            if (nameOf(entry) == nameOf(setting)) {
                entry = setting;
                replaced = true;
            }
        if (!replaced)
            own.push_back(setting);
    }
    std::vector<std::string> environment;
    for (const std::string& entry : own)
        if (entry.back() != '=')
            environment.push_back(entry);
    for (char** entry = environ; *entry; ++entry) {
        const std::string setting(*entry);
        bool mine = false;
        for (const std::string& entry2 : own)
            mine = mine || nameOf(entry2) == nameOf(setting);
        if (!mine)
            environment.push_back(setting);
    }
    std::vector<char*> envp;
    for (std::string& s : environment)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    child = ::fork();
    if (child == 0) {
        if (!std::freopen(console.c_str(), "w", stdout) || !std::freopen(errorPath().c_str(), "w", stderr))
            ::_exit(126);
        char* argv[] = {const_cast<char*>(TAVISK_PROGRAM), nullptr};
        ::execve(TAVISK_PROGRAM, argv, envp.data());
        ::_exit(127);
    }
}

ProgramProcess::~ProgramProcess() {
    if (child > 0 && !hasEnded) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
}

std::string ProgramProcess::applicationLogPath() const {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("application_", 0) == 0 && entry.path().extension() == ".log")
            return entry.path().string();
    }
    return {};
}

bool ProgramProcess::logged(const std::string& text, std::chrono::milliseconds deadline) const {
    return eventually([&] { return readFile(console).find(text) != std::string::npos; }, deadline,
                      kLookEvery);
}

bool ProgramProcess::waitForEnd(std::chrono::milliseconds deadline) {
    return eventually(
        [&] {
            if (!hasEnded && ::waitpid(child, &exitStatus, WNOHANG) == child)
                hasEnded = true;
            return hasEnded;
        },
        deadline, kLookEvery);
}

long ProgramProcess::residentKiB() const {
    std::ifstream status("/proc/" + std::to_string(child) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

bool heldExclusively(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY;
    int flag = 0;
    const bool held = ::ioctl(fd, TIOCGEXCL, &flag) == 0 && flag != 0;
    ::close(fd);
    return held;
}

} // namespace tavisk::test
