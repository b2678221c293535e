// The line is taken for a job and freed on every way its start is left without the job
// running, an exception included: a line left taken would refuse every later job.
#include "control/LineOwner.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>

namespace {

using Job = LineOwner::Job;
using tavisk::test::LogCapture;

TEST(LineOwner, AStartLeftWithoutItsJobFreesTheLine) {
    const struct {
        const char* name;
        std::function<void(LineOwner::Claim&)> start; // runs with the line claimed
        Job runningAfter;
    } cases[] = {
        {"refused, returning", [](LineOwner::Claim&) {}, Job::NONE},
        {"out of memory", [](LineOwner::Claim&) { throw std::bad_alloc(); }, Job::NONE},
        {"started: the job has the line", [](LineOwner::Claim& claim) { claim.keep(); }, Job::STM32_UPLOAD},
    };
    for (const auto& c : cases) {
        LineOwner line;
        try {
            LineOwner::Claim claim(line, Job::STM32_UPLOAD, "STM32 upload");
            ASSERT_TRUE(claim) << c.name;
            c.start(claim);
        } catch (const std::bad_alloc&) {
        }
        EXPECT_EQ(line.running(), c.runningAfter) << c.name;
    }
}

TEST(LineOwner, ARefusedClaimLeavesTheRunningJobItsLine) {
    LineOwner line;
    LineOwner::Claim flash(line, Job::ESP32_FLASH, "ESP32 flash");
    flash.keep();
    LogCapture log;
    std::string why;
    {
        const LineOwner::Claim second(line, Job::ESP32_FLASH, "ESP32 flash", &why,
                                      "ESP32 flashing already in progress");
        EXPECT_FALSE(second);
        const LineOwner::Claim search(line, Job::SEARCH, "Device search", nullptr,
                                      "ESP32 flashing already in progress");
        EXPECT_FALSE(search);
    }
    EXPECT_EQ(line.running(), Job::ESP32_FLASH);
    EXPECT_EQ(why, "ESP32 flash refused: an ESP32 flash is running");
    // The line people know for a second flash comes first, and only for a second flash.
    const std::vector<std::string> expected = {
        "MainWindow: ESP32 flashing already in progress",
        "MainWindow: ESP32 flash refused: an ESP32 flash is running",
        "MainWindow: Device search refused: an ESP32 flash is running"};
    EXPECT_EQ(log.texts(), expected);
}

} // namespace
