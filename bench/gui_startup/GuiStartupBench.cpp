// The program itself on a private Xvfb: the time from its start to its main window being
// mapped, and its resident memory when idle with the link connected to the simulated beacon
// (through the menu and the connection dialog, by X input events), 2 s after the connection.
// The median of several runs of each, against the targets 0.5 s and 80 MB (10^6 bytes).
// The accessibility bridge is off, as on a desktop without a screen reader.

#include "tests/app/ChildProcess.h"
#include "tests/app/KeyboardSteps.h"
#include "tests/app/PrivateDisplay.h"
#include "tests/app/ProgramProcess.h"
#include "tests/sim/beacon/SimBeacon.h"
#include "tests/sim/pty/PtyLine.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tavisk::test::PrivateDisplay;
using tavisk::test::ProgramProcess;

constexpr const char* kTitle = "TaviskBeaconUtility";
constexpr int kRuns = 5;

// Waits for a top-level window with the program's title to be mapped; its id, or 0 after
// the deadline.
Window waitForMappedWindow(Display* x, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        while (XPending(x) > 0) {
            XEvent event;
            XNextEvent(x, &event);
            if (event.type != MapNotify)
                continue;
            char* name = nullptr;
            const bool ours = XFetchName(x, event.xmap.window, &name) && name && std::string(name) == kTitle;
            if (name)
                XFree(name);
            if (ours)
                return event.xmap.window;
        }
        std::this_thread::sleep_for(1ms);
    }
    return 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main() {
    PrivateDisplay display;
    if (!display.answers(30s)) {
        std::fprintf(stderr, "tavisk_bench_gui_startup: Xvfb did not start\n");
        return 1;
    }
    Display* x = XOpenDisplay(display.name().c_str());
    if (!x) {
        std::fprintf(stderr, "tavisk_bench_gui_startup: cannot open %s\n", display.name().c_str());
        return 1;
    }
    XSelectInput(x, DefaultRootWindow(x), SubstructureNotifyMask);
    XSync(x, False);

    std::vector<double> mapSeconds;
    std::vector<double> idleMegabytes;
    for (int run = 0; run < kRuns; ++run) {
        tavisk::sim::PtyLine line;
        line.addPeer(std::make_shared<tavisk::sim::SimBeacon>());
        std::string error;
        if (!line.open(&error)) {
            std::fprintf(stderr, "tavisk_bench_gui_startup: %s\n", error.c_str());
            return 1;
        }
        tavisk::test::TempFolder folder;
        XSync(x, True); // events of the run before are not this run's
        const auto start = Clock::now();
        ProgramProcess program(display, folder.path(), line.path());
        const Window window = waitForMappedWindow(x, start + 60s);
        if (!window) {
            std::fprintf(stderr, "tavisk_bench_gui_startup: the window was not mapped within 60 s\n");
            return 1;
        }
        mapSeconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());

        const std::string failure = tavisk::test::connectWithDialogDefaults(display, std::to_string(window));
        if (!failure.empty() || !program.logged("ConnectionDialog: Connection success")) {
            std::fprintf(stderr, "tavisk_bench_gui_startup: no connection: %s\n", failure.c_str());
            return 1;
        }
        std::this_thread::sleep_for(2s);
        const long kib = program.residentKiB();
        if (kib < 0) {
            std::fprintf(stderr, "tavisk_bench_gui_startup: no resident size of the program\n");
            return 1;
        }
        idleMegabytes.push_back(static_cast<double>(kib) * 1024.0 / 1e6);
    }
    XCloseDisplay(x);

    const double map = median(mapSeconds);
    const double rss = median(idleMegabytes);
    std::printf("gui_startup_runs: %d\n", kRuns);
    std::printf("gui_startup_window_mapped_s_median: %.3f\n", map);
    std::printf("gui_startup_window_mapped_ratio_to_target (target 0.5 s, < 1): %.3f\n", map / 0.5);
    std::printf("gui_startup_idle_connected_rss_mb_median: %.1f\n", rss);
    std::printf("gui_startup_idle_connected_rss_ratio_to_target (target 80 MB, < 1): %.3f\n", rss / 80.0);
    return 0;
}
