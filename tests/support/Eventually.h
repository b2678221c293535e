#pragma once

#include <chrono>
#include <thread>

namespace tavisk::test {

// Waits until `holds()` is true, looking every 5 ms, for at most `deadline`; whether it came
// true. For what another thread brings about: a deadline is a bound on a failing test, never a
// measure of speed.
template <typename Predicate> bool eventually(Predicate holds, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!holds()) {
        if (std::chrono::steady_clock::now() >= until)
            return holds();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace tavisk::test
