// The program itself under the test's display, driven by X input events as a user would:
// connect to the simulated beacon through the menu and the dialog, search, then Quit from
// the menu. It must end with status 0 after joining every worker. And when it crashes while
// connected, the beacon's line must be free for the next start.
#include "tests/app/ChildProcess.h"
#include "tests/app/KeyboardSteps.h"
#include "tests/app/PrivateDisplay.h"
#include "tests/app/ProgramProcess.h"
#include "tests/sim/beacon/SimBeacon.h"
#include "tests/sim/pty/PtyLine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tavisk::test::eventually;
using tavisk::test::heldExclusively;
using tavisk::test::kLookEvery;
using tavisk::test::pickFromConnectionMenu;
using tavisk::test::PrivateDisplay;
using tavisk::test::ProgramProcess;
using tavisk::test::readFile;
using tavisk::test::TempFolder;

// The program on the test's display with the simulated beacon's line, its window showing and
// connected through the dialog.
class Program : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(display.name().empty()) << "Xvfb did not start";
        ASSERT_TRUE(display.answers(30s)) << "Xvfb on " << display.name() << " does not answer";
        line.addPeer(std::make_shared<tavisk::sim::SimBeacon>());
        std::string error;
        ASSERT_TRUE(line.open(&error)) << error;
        program = std::make_unique<ProgramProcess>(display, temp.path(), line.path());
        ASSERT_TRUE(
            eventually([&] { return !(window = display.visibleWindow("TaviskBeaconUtility")).empty(); }, 60s,
                       kLookEvery))
            << "the window never showed on " << display.name()
            << (program->waitForEnd(0s) ? " (the program ended)" : "") << "\n"
            << readFile(temp.path() + "/startup.log");
        ASSERT_EQ(tavisk::test::connectWithDialogDefaults(display, window), "");
        ASSERT_TRUE(program->logged("ConnectionDialog: Connection success"));
    }

    PrivateDisplay display;
    tavisk::sim::PtyLine line;
    TempFolder temp;
    std::unique_ptr<ProgramProcess> program;
    std::string window;
};

TEST_F(Program, QuitFromTheMenuEndsItWithStatusZeroAfterJoiningItsWorkers) {
    ProgramProcess& program = *this->program;

    // The device list's Search button is the window's first focusable widget.
    display.run("xdotool windowfocus --sync " + window + " key Tab space");
    ASSERT_TRUE(program.logged("MainWindow: Searching devices..."));
    ASSERT_TRUE(program.logged("SerialListener:  run() is START"));
    ASSERT_TRUE(program.logged("DeviceListBox: Thread is terminated"));

    pickFromConnectionMenu(display, window, "Up Return");
    if (!program.waitForEnd(20s)) {
        display.run("xdotool key Escape");
        pickFromConnectionMenu(display, window, "Up Return");
    }
    ASSERT_TRUE(program.waitForEnd(40s)) << "the program did not end";
    ASSERT_TRUE(WIFEXITED(program.status())) << "ended by signal " << WTERMSIG(program.status());
    EXPECT_EQ(WEXITSTATUS(program.status()), 0);

    // Tearing the window down with a device listed says nothing: no GTK warning or critical.
    const std::string errors = readFile(program.errorPath());
    for (const char* kind : {"-CRITICAL **", "-WARNING **"})
        EXPECT_EQ(errors.find(kind), std::string::npos) << "standard error:\n" << errors;

    const std::string console = readFile(program.consolePath());
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

TEST_F(Program, ACrashWhileConnectedLeavesTheLineFreeAndAStackThatMapsToTheProgram) {
    ProgramProcess& program = *this->program;
    ASSERT_TRUE(heldExclusively(line.path()));
    const std::string executable =
        std::filesystem::read_symlink("/proc/" + std::to_string(program.pid()) + "/exe");

    ASSERT_EQ(::kill(program.pid(), SIGSEGV), 0);
    ASSERT_TRUE(program.waitForEnd(20s));
    ASSERT_TRUE(WIFEXITED(program.status())) << "ended by signal " << WTERMSIG(program.status());
    EXPECT_EQ(WEXITSTATUS(program.status()), 128 + SIGSEGV);
    EXPECT_FALSE(heldExclusively(line.path()));

    const std::string log = readFile(program.startupLogPath());
    EXPECT_NE(log.find("[CRITICAL] [Crash] Signal 11\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" " + executable + "+0x"), std::string::npos)
        << "no frame names " << executable << ":\n"
        << log;
}

} // namespace
