// Uploads images to the simulated beacon through the real port, link, workers and engine, at
// emulated line rates and unpaced, and compares the rate with the stop-and-wait wire limit:
// each chunk is a request frame (11 bytes + the chunk) and an acknowledgement (6 bytes), at
// 10 bits a byte, one after the other.

#include "tests/control/UploadRig.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Run {
    unsigned baud; // 0: unpaced
    std::size_t size;
};

double wireLimitKiBs(unsigned baud, std::size_t chunk) {
    const double seconds = static_cast<double>(11 + chunk + 6) * 10.0 / baud;
    return static_cast<double>(chunk) / seconds / 1024.0;
}

bool upload(const Run& run, double& kibPerSecond) {
    tavisk::test::UploadRig rig(run.baud);
    std::vector<std::uint8_t> image(run.size);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 31 + i / 256);
    rig.setImage(image);
    std::string error;
    if (!rig.connect(&error)) {
        std::fprintf(stderr, "tavisk_bench_stm32_transfer: %s\n", error.c_str());
        return false;
    }
    if (!rig.startUpload()) {
        std::fprintf(stderr, "tavisk_bench_stm32_transfer: the simulated beacon was not found\n");
        return false;
    }
    // From the erase code's acknowledgement (the image is handed to the engine) to the
    // acknowledgement of the closing request.
    const auto waitStart = Clock::now();
    while (rig.loadFirmwareCount() == 0 && Clock::now() - waitStart < 30s)
        std::this_thread::sleep_for(100us);
    const auto start = Clock::now();
    if (!rig.waitForTransferEnd(600s) || !rig.beacon().imageMatches()) {
        std::fprintf(stderr, "tavisk_bench_stm32_transfer: the transfer did not complete intact\n");
        return false;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    kibPerSecond = static_cast<double>(run.size) / 1024.0 / seconds;
    return true;
}

} // namespace

int main() {
    const std::vector<Run> runs = {{115200, 64 * 1024},  {115200, 300 * 1024}, {921600, 64 * 1024},
                                   {921600, 300 * 1024}, {0, 64 * 1024},       {0, 300 * 1024}};
    bool ok = true;
    double worst115200 = 1e9;
    for (const Run& run : runs) {
        const std::size_t chunk = run.size < 262144 ? 32 : 64;
        const std::string name = std::string("stm32_transfer_") +
                                 (run.baud ? std::to_string(run.baud) : "unpaced") + "_" +
                                 std::to_string(run.size / 1024) + "KiB";
        double rate = 0;
        if (!upload(run, rate)) {
            ok = false;
            continue;
        }
        std::printf("%s_chunk_bytes: %zu\n", name.c_str(), chunk);
        std::printf("%s_KiB_per_s: %.2f\n", name.c_str(), rate);
        if (run.baud) {
            const double limit = wireLimitKiBs(run.baud, chunk);
            std::printf("%s_wire_limit_KiB_per_s: %.2f\n", name.c_str(), limit);
            std::printf("%s_ratio: %.3f\n", name.c_str(), rate / limit);
            if (run.baud == 115200 && rate / limit < worst115200)
                worst115200 = rate / limit;
        } else {
            // No wire: compare with what 921600 baud would allow.
            std::printf("%s_ratio_to_921600_wire_limit: %.3f\n", name.c_str(),
                        rate / wireLimitKiBs(921600, chunk));
        }
        std::fflush(stdout);
    }
    if (worst115200 < 1e9)
        std::printf("stm32_transfer_115200_ratio (target >= 0.9): %.3f\n", worst115200);
    return ok ? 0 : 1;
}
