#include "control/EspFlashJob.h"
#include "control/ProgressText.h"
#include "tests/support/Gate.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tavisk::test::Gate;
using tavisk::test::LogCapture;
using tavisk::test::TempFile;
using FlashOptions = TaviskEspSerialFlasher::FlashOptions;
using Bytes = std::vector<std::uint8_t>;

// Counts the job's notifications and lets the test wait for the end of a flash, as the GUI
// thread's dispatcher slot would see it.
class Reports {
public:
    void notify() {
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
        changed.notify_all();
    }
    bool waitUntil(const std::function<bool()>& pred) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 20s, pred);
    }
    int total() {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
};

// The line the job takes and the upload it records its image in, as the session has them,
// and an image the loader takes (whole 32-bit words).
class EspFlashJobTest : public ::testing::Test {
protected:
    LineOwner line;
    RecordedUpload upload;
    const TempFile image{TempFile::pattern(1024)};
};

struct Outcome {
    bool ok;
    std::string error;
    std::string label; // over the progress bar once the flash has ended
};

TEST_F(EspFlashJobTest, TheResultOfEveryWayAFlashEnds) {
    struct Case {
        const char* name;
        EspFlashJob::FlashFunction flash;
        Outcome expected;
    };
    const Case cases[] = {
        {"success",
         [](const Bytes&, const FlashOptions&, const EspFlashJob::Progress& progress, std::string*) {
             for (unsigned char p : {40, 81, 100})
                 progress(p);
             return true;
         },
         {true, "", ProgressText::kSuccess}},
        {"failure with the flasher's text",
         [](const Bytes&, const FlashOptions&, const EspFlashJob::Progress& progress, std::string* error) {
             progress(40);
             *error = "Failed to write block 2 (error 5)";
             return false;
         },
         {false, "Failed to write block 2 (error 5)", "40%"}},
        {"failure after the last block",
         [](const Bytes&, const FlashOptions&, const EspFlashJob::Progress& progress, std::string* error) {
             progress(100);
             *error = "MD5 of the written flash differs";
             return false;
         },
         {false, "MD5 of the written flash differs", "100%"}},
        {"failure without a text",
         [](const Bytes&, const FlashOptions&, const EspFlashJob::Progress&, std::string*) { return false; },
         {false, "the flasher gave no reason", "0%"}},
        {"standard exception",
         [](const Bytes&, const FlashOptions&, const EspFlashJob::Progress&, std::string*) -> bool {
             throw std::length_error("image does not fit in memory");
         },
         {false, "image does not fit in memory", "0%"}},
        {"other exception",
         [](const Bytes&, const FlashOptions&, const EspFlashJob::Progress&, std::string*) -> bool {
             throw 7;
         },
         {false, "unknown exception", "0%"}},
    };
    for (const Case& c : cases) {
        Reports reports;
        EspFlashJob job(line, upload, c.flash, [&] { reports.notify(); });
        ASSERT_TRUE(job.start(image.path())) << c.name;
        ASSERT_TRUE(reports.waitUntil([&] { return job.finished(); })) << c.name;
        const auto result = job.takeCompletion();
        ASSERT_TRUE(result.has_value()) << c.name;
        EXPECT_EQ(result->ok, c.expected.ok) << c.name;
        EXPECT_EQ(result->error, c.expected.error) << c.name;
        EXPECT_EQ(ProgressText::label(job.percent(), job.succeeded()), c.expected.label) << c.name;
        EXPECT_FALSE(job.inProgress()) << c.name;
        EXPECT_EQ(line.running(), LineOwner::Job::NONE) << c.name << ": the ended flash frees the line";
        // The completion is handed out once per flash, however many notifications follow.
        EXPECT_FALSE(job.takeCompletion().has_value()) << c.name;
    }
}

TEST_F(EspFlashJobTest, FlashesTheBytesReadAtTheStartFromOffsetZeroInBlocksOf1024WithoutReboot) {
    FlashOptions seen{7, 7, true};
    Bytes flashed;
    Reports reports;
    EspFlashJob job(
        line, upload,
        [&](const Bytes& bytes, const FlashOptions& options, const EspFlashJob::Progress&, std::string*) {
            flashed = bytes;
            seen = options;
            return true;
        },
        [&] { reports.notify(); });
    ASSERT_TRUE(job.start(image.path()));
    ASSERT_TRUE(reports.waitUntil([&] { return job.finished(); }));
    job.takeCompletion();
    EXPECT_EQ(flashed, TempFile::pattern(1024));
    EXPECT_EQ(seen.offset, 0u);
    EXPECT_EQ(seen.blockSize, 1024u);
    EXPECT_FALSE(seen.reboot);
}

TEST_F(EspFlashJobTest, AReportOf100BeforeTheEndIsNoSuccessYet) {
    Gate lastBlockWritten;
    Reports reports;
    EspFlashJob job(
        line, upload,
        [&](const Bytes&, const FlashOptions&, const EspFlashJob::Progress& progress, std::string*) {
            progress(50);
            progress(100);
            lastBlockWritten.pass(); // the flasher still finishes the flash
            return true;
        },
        [&] { reports.notify(); });
    ASSERT_TRUE(job.start(image.path()));
    ASSERT_TRUE(reports.waitUntil([&] { return job.percent() == 100; }));
    EXPECT_FALSE(job.finished());
    EXPECT_EQ(ProgressText::label(job.percent(), job.succeeded()), "100%");
    EXPECT_FALSE(job.takeCompletion().has_value());

    lastBlockWritten.open();
    ASSERT_TRUE(reports.waitUntil([&] { return job.finished(); }));
    EXPECT_EQ(ProgressText::label(job.percent(), job.succeeded()), ProgressText::kSuccess);
    ASSERT_TRUE(job.takeCompletion().has_value());
    // Two reports and the end.
    EXPECT_EQ(reports.total(), 3);
}

TEST_F(EspFlashJobTest, ASecondStartWhileAFlashRunsIsRefused) {
    LogCapture log;
    Gate release;
    Reports reports;
    int flashes = 0;
    EspFlashJob job(
        line, upload,
        [&](const Bytes&, const FlashOptions&, const EspFlashJob::Progress&, std::string*) {
            ++flashes;
            release.pass();
            return true;
        },
        [&] { reports.notify(); });
    ASSERT_TRUE(job.start(image.path()));
    EXPECT_FALSE(job.start(image.path()));
    EXPECT_EQ(log.count("MainWindow: ESP32 flashing already in progress", BaseLogger::WARNING), 1u);
    release.open();
    ASSERT_TRUE(reports.waitUntil([&] { return job.finished(); }));
    EXPECT_TRUE(job.takeCompletion()->ok);
    EXPECT_EQ(flashes, 1);

    // Once it has ended, the next flash starts (the ended worker is joined first).
    ASSERT_TRUE(job.start(image.path()));
    ASSERT_TRUE(reports.waitUntil([&] { return job.finished(); }));
    EXPECT_TRUE(job.takeCompletion()->ok);
    EXPECT_EQ(flashes, 2);
}

TEST_F(EspFlashJobTest, DestroyingTheJobWaitsForARunningFlash) {
    LogCapture log;
    Gate release;
    bool flashEnded = false;
    std::thread releaser([&] {
        // Let the flash end once the job says that it waits for it (or, when it never says
        // so, after the deadline: the test then fails below without hanging).
        log.waitForText("MainWindow: Waiting for the running ESP32 flash to end");
        release.open();
    });
    {
        EspFlashJob job(
            line, upload,
            [&](const Bytes&, const FlashOptions&, const EspFlashJob::Progress&, std::string*) {
                release.pass();
                flashEnded = true;
                return true;
            },
            [] {});
        ASSERT_TRUE(job.start(image.path()));
    }
    releaser.join();
    EXPECT_TRUE(flashEnded);
    EXPECT_EQ(log.count("Waiting for the running ESP32 flash to end", BaseLogger::INFO), 1u);
}

} // namespace
