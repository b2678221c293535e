#include "tests/app/PrivateDisplay.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tavisk::test {

PrivateDisplay::PrivateDisplay() {
    int numberPipe[2];
    if (::pipe(numberPipe) != 0)
        return;
    server = ::fork();
    if (server == 0) {
        ::close(numberPipe[0]);
        const std::string fd = std::to_string(numberPipe[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                 "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(numberPipe[1]);
    if (server < 0) {
        ::close(numberPipe[0]);
        return;
    }
    // The server writes its display number once it accepts connections.
    std::string number;
    char c = 0;
    while (::read(numberPipe[0], &c, 1) == 1 && c != '\n')
        number += c;
    ::close(numberPipe[0]);
    if (!number.empty())
        displayName = ":" + number;
}

PrivateDisplay::~PrivateDisplay() {
    if (server > 0) {
        ::kill(server, SIGTERM);
        ::waitpid(server, nullptr, 0);
    }
}

bool PrivateDisplay::answers(std::chrono::milliseconds deadline) const {
    return !displayName.empty() &&
           eventually([this] { return !run("xdotool getdisplaygeometry 2>/dev/null").empty(); }, deadline,
                      kLookEvery);
}

std::string PrivateDisplay::run(const std::string& command) const {
    std::string text;
    if (FILE* pipe = ::popen(("DISPLAY=" + displayName + " " + command).c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            text += buffer;
        ::pclose(pipe);
    }
    return text;
}

std::string PrivateDisplay::visibleWindow(const std::string& title) const {
    const std::string ids = run("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null");
    return ids.substr(0, ids.find('\n'));
}

void PrivateDisplay::click(int x, int y) const {
    run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
}

void PrivateDisplay::doubleClick(int x, int y) const {
    run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) +
        " click --repeat 2 --delay 80 1");
}

} // namespace tavisk::test
