#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace tavisk::test {

// Waits until `done` holds, looking every 5 ms. A transfer may take long on a slow or busy
// machine, so there is no deadline for the whole wait: it fails as soon as `progress` (a
// description of how far things got) has stayed the same for `stall`, and the failure names
// what did not arrive and where things stopped. A broken build thus fails within the stall
// limit instead of waiting for the test's timeout.
inline ::testing::AssertionResult
waitWithProgress(const std::string& what, const std::function<bool()>& done,
                 const std::function<std::string()>& progress,
                 std::chrono::milliseconds stall = std::chrono::seconds(10)) {
    std::string last = progress();
    auto since = std::chrono::steady_clock::now();
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        std::string current = progress();
        if (current != last) {
            last = std::move(current);
            since = now;
        } else if (now - since >= stall) {
            return ::testing::AssertionFailure()
                   << what << " did not arrive: nothing moved for "
                   << std::chrono::duration_cast<std::chrono::seconds>(stall).count() << " s (" << last
                   << ")";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ::testing::AssertionSuccess();
}

} // namespace tavisk::test
