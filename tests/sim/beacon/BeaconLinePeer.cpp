// A simulated beacon on a pseudo-terminal for tests in another process (scripts/test-windows
// maps a wine COM port to it): prints the terminal's path on its first line, expects the
// shared test image, and serves until it is terminated.

#include "tests/sim/beacon/SharedTestImage.h"
#include "tests/sim/beacon/SimBeacon.h"
#include "tests/sim/pty/PtyLine.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <pthread.h>

int main() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto beacon = std::make_shared<tavisk::sim::SimBeacon>();
    beacon->setExpectedImage(tavisk::sim::sharedTestImage());
    tavisk::sim::PtyLine line;
    line.addPeer(beacon);
    std::string error;
    if (!line.open(&error)) {
        std::fprintf(stderr, "tavisk_pty_beacon: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", line.path().c_str());
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    line.close();
    return 0;
}
