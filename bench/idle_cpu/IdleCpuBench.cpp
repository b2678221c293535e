// Connected to the simulated beacon with the listener and the sender running and no traffic:
// the process's CPU time over 5 s as a share of one core (the simulated beacon's own thread
// sleeps until bytes arrive and costs nothing here).

#include "tests/control/UploadRig.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace {

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

int main() {
    using namespace std::chrono_literals;
    tavisk::test::UploadRig rig(115200);
    std::string error;
    if (!rig.connect(&error)) {
        std::fprintf(stderr, "tavisk_bench_idle_cpu: %s\n", error.c_str());
        return 1;
    }
    std::this_thread::sleep_for(200ms); // let both workers reach their idle loops
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = cpuSeconds();
    std::this_thread::sleep_for(5s);
    const double cpu = cpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double share = cpu / wall * 100.0;
    std::printf("idle_cpu_wall_s: %.3f\n", wall);
    std::printf("idle_cpu_cpu_s: %.4f\n", cpu);
    std::printf("idle_cpu_percent_of_one_core: %.3f\n", share);
    std::printf("idle_cpu_ratio_to_limit (limit 0.5 %%, target < 1): %.3f\n", share / 0.5);
    return 0;
}
