// The program itself under the test's display, driven by X input events as a user would:
// connect to the simulated beacon through the menu and the dialog, search, then Quit from
// the menu. It must end with status 0 after joining every worker.
#include "tests/app/ChildProcess.h"
#include "tests/sim/beacon/SimBeacon.h"
#include "tests/sim/pty/PtyLine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using tavisk::test::readFile;
using tavisk::test::TempFolder;

// An X server of the test's own: other GUI tests running at the same time must neither get
// its input events nor be taken for its windows.
class PrivateDisplay {
public:
    PrivateDisplay() {
        int numberPipe[2];
        if (::pipe(numberPipe) != 0)
            return;
        server = ::fork();
        if (server == 0) {
            ::close(numberPipe[0]);
            const std::string fd = std::to_string(numberPipe[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(numberPipe[1]);
        // The server writes its display number once it accepts connections.
        std::string number;
        char c = 0;
        while (::read(numberPipe[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(numberPipe[0]);
        if (!number.empty())
            name = ":" + number;
    }
    ~PrivateDisplay() {
        if (server > 0) {
            ::kill(server, SIGTERM);
            ::waitpid(server, nullptr, 0);
        }
    }
    std::string name; // empty when the server did not start
    pid_t server = -1;
};

std::string displayName;

// The standard output of a command (xdotool) run on the test's display.
std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(("DISPLAY=" + displayName + " " + command).c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            text += buffer;
        ::pclose(pipe);
    }
    return text;
}

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// The visible top-level window with this exact title; empty when there is none.
std::string visibleWindow(const std::string& title) {
    const std::string ids = output("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null");
    return ids.substr(0, ids.find('\n'));
}

class Program {
public:
    Program(const TempFolder& temp, const std::string& ports) : console(temp.path() + "/console.log") {
        std::vector<std::string> settings = {
            "TAVISK_LOG_PATH=" + temp.path() + "/startup.log",
            "TAVISK_LOG_DIR=" + temp.path(),
            "TMPDIR=" + temp.path(),
            "HOME=" + temp.path(),
            "TAVISK_SERIAL_PORTS=" + ports,
            "GSETTINGS_BACKEND=memory",
            "NO_AT_BRIDGE=1",
            "DISPLAY=" + displayName,
        };
        for (char** entry = environ; *entry; ++entry) {
            const std::string setting(*entry);
            const std::string name = setting.substr(0, setting.find('='));
            bool replaced = false;
            for (const std::string& own : settings)
                replaced = replaced || own.compare(0, name.size() + 1, name + "=") == 0;
            if (!replaced && name != "TAVISK_LOG_LEVEL" && name != "TAVISK_UI_GLADE")
                settings.push_back(setting);
        }
        std::vector<char*> envp;
        for (std::string& s : settings)
            envp.push_back(s.data());
        envp.push_back(nullptr);
        pid = ::fork();
        if (pid == 0) {
            if (!std::freopen(console.c_str(), "w", stdout))
                ::_exit(126);
            char* argv[] = {const_cast<char*>(TAVISK_PROGRAM), nullptr};
            ::execve(TAVISK_PROGRAM, argv, envp.data());
            ::_exit(127);
        }
    }
    ~Program() {
        if (pid > 0 && !ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    bool logged(const std::string& text, std::chrono::milliseconds deadline = 20s) {
        return eventually([&] { return readFile(console).find(text) != std::string::npos; }, deadline);
    }
    // Waits for the end; true when it ended by itself within the deadline.
    bool waitForEnd(std::chrono::milliseconds deadline) {
        return eventually(
            [&] {
                if (!ended && ::waitpid(pid, &status, WNOHANG) == pid)
                    ended = true;
                return ended;
            },
            deadline);
    }

    const std::string console;
    pid_t pid = -1;
    bool ended = false;
    int status = 0;
};

// Opens the Connection menu with the mouse and picks an item with the keyboard.
void pickFromConnectionMenu(const std::string& window, const std::string& keys) {
    output("xdotool mousemove --window " + window + " 20 10 click 1 sleep 0.2 key " + keys);
}

TEST(Program, QuitFromTheMenuEndsItWithStatusZeroAfterJoiningItsWorkers) {
    PrivateDisplay display;
    ASSERT_FALSE(display.name.empty()) << "Xvfb did not start";
    displayName = display.name;
    ASSERT_TRUE(eventually([] { return !output("xdotool getdisplaygeometry 2>/dev/null").empty(); }, 30s))
        << "Xvfb on " << displayName << " does not answer";
    tavisk::sim::PtyLine line;
    line.addPeer(std::make_shared<tavisk::sim::SimBeacon>());
    std::string error;
    ASSERT_TRUE(line.open(&error)) << error;
    TempFolder temp;
    Program program(temp, line.path());

    std::string window;
    ASSERT_TRUE(eventually([&] { return !(window = visibleWindow("TaviskBeaconUtility")).empty(); }, 60s))
        << "the window never showed on " << displayName << (program.waitForEnd(0s) ? " (the program ended)" : "")
        << "\n"
        << readFile(temp.path() + "/startup.log");

    // Connection > Connect, then the dialog's Connect button (the left half of its button row).
    std::string dialog;
    for (int attempt = 0; attempt < 3 && dialog.empty(); ++attempt) {
        pickFromConnectionMenu(window, "Down Return");
        if (!eventually([&] { return !(dialog = visibleWindow("Connection")).empty(); }, 10s))
            output("xdotool key Escape");
    }
    ASSERT_FALSE(dialog.empty()) << "the connection dialog never showed";
    const std::string geometry = output("xdotool getwindowgeometry --shell " + dialog);
    const int width = std::atoi(geometry.substr(geometry.find("WIDTH=") + 6).c_str());
    const int height = std::atoi(geometry.substr(geometry.find("HEIGHT=") + 7).c_str());
    output("xdotool mousemove --window " + dialog + " " + std::to_string(width / 4) + " " +
           std::to_string(height - 12) + " click 1");
    ASSERT_TRUE(program.logged("ConnectionDialog: Connection success"));

    // The device list's Search button is the window's first focusable widget.
    ASSERT_TRUE(eventually([&] { return visibleWindow("Connection").empty(); }, 10s));
    output("xdotool windowfocus --sync " + window + " key Tab space");
    ASSERT_TRUE(program.logged("MainWindow: Searching devices..."));
    ASSERT_TRUE(program.logged("SerialListener:  run() is START"));
    ASSERT_TRUE(program.logged("DeviceListBox: Thread is terminated"));

    pickFromConnectionMenu(window, "Up Return");
    if (!program.waitForEnd(20s)) {
        output("xdotool key Escape");
        pickFromConnectionMenu(window, "Up Return");
    }
    ASSERT_TRUE(program.waitForEnd(40s)) << "the program did not end";
    ASSERT_TRUE(WIFEXITED(program.status)) << "ended by signal " << WTERMSIG(program.status);
    EXPECT_EQ(WEXITSTATUS(program.status), 0);

    const std::string console = readFile(program.console);
    const std::size_t quit = console.find("MainWindow: QuitApp");
    ASSERT_NE(quit, std::string::npos);
    std::size_t at = quit;
    for (const char* line : {"SerialListener: Thread is terminated", "SerialSender: Thread is terminated",
                             "SerialSender: run() is STOP", "SerialListener:  run() is STOP"}) {
        at = console.find(line, at);
        EXPECT_NE(at, std::string::npos) << "missing after Quit, in order: " << line;
        if (at == std::string::npos)
            break;
    }
}

} // namespace
