// tavisk-sim: a simulated beacon on a pseudo-terminal, to try the program without a device.
// It prints the terminal's path and the TAVISK_SERIAL_PORTS value that makes the program's
// connection dialog list it, logs what the beacon receives, and stops on Ctrl-C.

#include "tests/sim/beacon/SimBeacon.h"
#include "tests/sim/pty/PtyLine.h"
#include "tests/sim/rom/SimRomPeer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>

namespace {

void usage(std::FILE* out, const char* program) {
    std::fprintf(out,
                 "usage: %s [--baud RATE]\n"
                 "Serves a simulated beacon (and its ESP32 ROM loader) on a pseudo-terminal until Ctrl-C.\n"
                 "  --baud RATE  deliver bytes as a serial line at RATE bits/s would (default: unpaced)\n",
                 program);
}

bool parseRate(const char* text, unsigned& rate) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value == 0 || value > 100000000UL)
        return false;
    rate = static_cast<unsigned>(value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    unsigned baud = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc) {
            if (!parseRate(argv[++i], baud)) {
                std::fprintf(stderr, "tavisk-sim: not a baud rate: %s\n", argv[i]);
                return 2;
            }
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(stdout, argv[0]);
            return 0;
        } else {
            usage(stderr, argv[0]);
            return 2;
        }
    }

    // Ctrl-C and termination are taken by sigwait below; block them before any thread starts
    // so that the serving thread never receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    tavisk::sim::BeaconConfig config;
    auto beacon = std::make_shared<tavisk::sim::SimBeacon>(config);
    // On the bootloader-entry request the line goes to a simulated ESP32 ROM loader.
    beacon->setBootloaderPeer(std::make_shared<tavisk::sim::SimRomPeer>());
    std::mutex outMutex; // one line at a time on standard output
    beacon->setObserver([&outMutex](const std::string& line) {
        char stamp[16];
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
        std::lock_guard<std::mutex> lock(outMutex);
        std::printf("%s %s\n", stamp, line.c_str());
        std::fflush(stdout);
    });

    tavisk::sim::PtyLine line(baud);
    line.addPeer(beacon);
    std::string error;
    if (!line.open(&error)) {
        std::fprintf(stderr, "tavisk-sim: cannot open a pseudo-terminal: %s\n", error.c_str());
        return 1;
    }
    {
        std::lock_guard<std::mutex> lock(outMutex);
        std::printf("Simulated beacon \"%s\" (address %u, fields:", config.name.c_str(), config.address);
        for (std::size_t i = 0; i < config.fields.size(); ++i)
            std::printf(" %zu %s", i, config.fields[i].name.c_str());
        std::printf(") on %s", line.path().c_str());
        if (baud)
            std::printf(" at %u baud", baud);
        std::printf(
            "\nStart the program from the repository folder with:\n  TAVISK_SERIAL_PORTS=%s ./scripts/run\n"
            "and choose that port in the connection dialog. Ctrl-C stops the simulator.\n",
            line.path().c_str());
        std::fflush(stdout);
    }

    int received = 0;
    sigwait(&stopSignals, &received);
    line.close();
    std::printf("Stopped (%s); %llu bytes received, %llu sent.\n", strsignal(received),
                static_cast<unsigned long long>(line.bytesFromProgram()),
                static_cast<unsigned long long>(line.bytesToProgram()));
    return 0;
}
