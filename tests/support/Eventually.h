#pragma once

#include <chrono>
#include <thread>

namespace tavisk::test {

// Waits until `holds()` is true, looking every `every`, for at most `deadline`; whether it came
// true. For what another thread or process brings about: a deadline is a bound on a failing
// test, never a measure of speed. The one polling helper of the tests.
template <typename Predicate>
bool eventually(Predicate holds, std::chrono::milliseconds deadline,
                std::chrono::milliseconds every = std::chrono::milliseconds(5)) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!holds()) {
        if (std::chrono::steady_clock::now() >= until)
            return holds();
        std::this_thread::sleep_for(every);
    }
    return true;
}

} // namespace tavisk::test
