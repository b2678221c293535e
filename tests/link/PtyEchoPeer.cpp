// A peer for the Windows port tests under wine: makes a pseudo-terminal, prints the path of
// its slave (the device that wine maps to a COM port) on the first line of standard output,
// then sends back every byte that arrives, until it is terminated.
#include "tests/support/PtyPair.h"

#include <csignal>
#include <cstdio>
#include <poll.h>

namespace {
volatile std::sig_atomic_t stopping = 0;
void stop(int) {
    stopping = 1;
}
} // namespace

int main() {
    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);
    tavisk::test::PtyPair pty;
    std::printf("%s\n", pty.slavePath().c_str());
    std::fflush(stdout);
    while (!stopping) {
        pollfd p{pty.masterFd(), POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0)
            continue;
        const auto bytes = pty.read(4096, std::chrono::milliseconds(0));
        if (!bytes.empty() && !pty.write(bytes))
            return 1;
    }
    return 0;
}
