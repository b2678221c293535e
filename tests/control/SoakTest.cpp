// Soak: repeated STM32 uploads and ESP32 flashes through the main window's session (real
// pseudo-terminal, link, engine and workers) against the simulated beacon and ROM loader,
// each run with random faults on the line. Every run must end, either with the image
// confirmed byte for byte and the success text, or without the success text and with a line
// that says why; never with a crash, a hang or a success for an image the device does not
// hold.
//
// TAVISK_SOAK_RUNS sets the number of runs (default 16, half of them ESP32 flashes);
// TAVISK_SOAK_SEED repeats the runs of a printed seed.
#include "control/ProgressText.h"
#include "tests/control/UploadRig.h"
#include "tests/sim/rom/SimRomPeer.h"
#include "tests/support/Eventually.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempFile.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

namespace tavisk::test {
namespace {

using namespace std::chrono_literals;
using sim::SimBeacon;
using Bytes = std::vector<std::uint8_t>;
using Random = std::mt19937;

unsigned envNumber(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

int uniform(Random& random, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}

Bytes randomBytes(Random& random, std::size_t size) {
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(uniform(random, 0, 255));
    return bytes;
}

// Between a peer and the line: answers split into single bytes 1 ms apart, and line noise
// (random bytes) before some of them. Called only from the line's thread.
class RoughLine : public sim::LinePeer {
public:
    RoughLine(std::shared_ptr<sim::LinePeer> peer, bool split, unsigned noiseEvery, unsigned seed)
        : inner(std::move(peer)), splitBytes(split), noiseEvery(noiseEvery), random(seed) {}

    void receive(const std::uint8_t* data, std::size_t size, sim::SimTime at) override {
        inner->receive(data, size, at);
    }
    sim::SimTime nextDue() const override {
        const sim::SimTime own = pending.empty() ? sim::SimTime::max() : pending.front().due;
        return std::min(own, inner->nextDue());
    }
    std::vector<sim::Emission> takeDue(sim::SimTime now) override {
        for (sim::Emission& e : inner->takeDue(now)) {
            sim::SimTime due = std::max(e.due, pending.empty() ? e.due : pending.back().due);
            if (noiseEvery && ++emissions % noiseEvery == 0)
                pending.push_back(
                    {due, randomBytes(random, static_cast<std::size_t>(uniform(random, 1, 8)))});
            if (!splitBytes) {
                pending.push_back({due, std::move(e.bytes)});
                continue;
            }
            for (std::uint8_t b : e.bytes) {
                pending.push_back({due, {b}});
                due += 1ms;
            }
        }
        std::vector<sim::Emission> out;
        while (!pending.empty() && pending.front().due <= now) {
            out.push_back(std::move(pending.front()));
            pending.pop_front();
        }
        return out;
    }
    bool hangUpRequested() const override { return inner->hangUpRequested(); }

private:
    std::shared_ptr<sim::LinePeer> inner;
    const bool splitBytes;
    const unsigned noiseEvery;
    Random random;
    unsigned emissions = 0;
    std::deque<sim::Emission> pending;
};

// A failure line with its numbers (offsets, codes, times) taken out, so that the summary
// counts failures by kind.
std::string withoutNumbers(const std::string& line) {
    std::string kind;
    for (std::size_t i = 0; i < line.size(); ++i) {
        // Numbers stand alone; the digits of a name ("STM32") stay.
        const bool inName =
            i > 0 && std::isalnum(static_cast<unsigned char>(line[i - 1])) && kind.back() != 'N';
        if (std::isdigit(static_cast<unsigned char>(line[i])) && !inName) {
            if (kind.empty() || kind.back() != 'N')
                kind += 'N';
            continue;
        }
        kind += line[i];
    }
    return kind;
}

struct Outcome {
    bool success = false;        // the success text would show
    bool imageConfirmed = false; // the simulator holds the image byte for byte
    std::string cause;           // the line that says why, when it did not succeed
    std::string faults;          // what was done to the line
};

class Soak : public ::testing::Test {
protected:
    // The STM32 road: search, field chain, erase wait, erase write and the transfer, as one job
    // that ends with the device's confirmation or with the line that says why.
    Outcome stm32Run(Random& random) {
        Outcome outcome;
        const Bytes image = randomBytes(
            random, static_cast<std::size_t>(uniform(random, 1, 128) * 32 - uniform(random, 0, 31)));
        const int chunks = static_cast<int>((image.size() + 31) / 32);
        UploadRig rig;
        const int faultCount = uniform(random, 0, 2);
        for (int i = 0; i < faultCount; ++i) {
            SimBeacon::FaultPlan plan;
            plan.fault =
                static_cast<SimBeacon::Fault>(uniform(random, 0, static_cast<int>(SimBeacon::Fault::HangUp)));
            const std::uint8_t commands[] = {0, 1, 5, 3, 8, 8, 8};
            plan.command = commands[uniform(random, 0, 6)];
            plan.skip = static_cast<unsigned>(uniform(random, 0, plan.command == 8 ? chunks + 1 : 3));
            plan.delay = std::chrono::milliseconds(uniform(random, 50, 1500));
            plan.status = static_cast<std::uint8_t>(uniform(random, 1, 255));
            rig.beacon().addFault(plan);
            outcome.faults += " fault " + std::to_string(static_cast<int>(plan.fault)) + " on command " +
                              std::to_string(plan.command) + " answer " + std::to_string(plan.skip + 1);
        }
        rig.setImage(image);
        std::string error;
        if (!rig.connect(&error)) {
            ADD_FAILURE() << "the link did not connect: " << error;
            return outcome;
        }
        if (!rig.session().startStm32Upload(rig.imagePath())) {
            ADD_FAILURE() << "the upload did not start";
            return outcome;
        }
        // Ticked as the window's timer ticks it, until it ends: every ending, whatever the
        // faults, comes within the longest reply time (the erase's 20 s) and its grace.
        const BeaconSession::UploadTick end = rig.runUpload(120s);
        if (!end.ended)
            ADD_FAILURE() << "run hung: the upload did not end within 120 s;" << outcome.faults;
        outcome.success = end.succeeded && ProgressText::label(rig.engine().transferPercent.load(), true) ==
                                               ProgressText::kSuccess;
        outcome.imageConfirmed = rig.beacon().imageMatches() && rig.beacon().receivedImage() == image;
        if (!outcome.success)
            outcome.cause = withoutNumbers(end.failure);
        rig.stop();
        return outcome;
    }

    // The ESP32 road: the bootloader-entry frame, then the ROM loader's protocol to the
    // verified image.
    Outcome esp32Run(Random& random) {
        Outcome outcome;
        Bytes image = randomBytes(random, static_cast<std::size_t>(uniform(random, 1, 4096)) * 4);
        image[0] = 0xE9;
        sim::SimRomFaults faults;
        const int blocks = static_cast<int>((image.size() + 1023) / 1024);
        bool split = false;
        unsigned noiseEvery = 0;
        switch (uniform(random, 0, 10)) {
        case 0:
            outcome.faults = " none";
            break;
        case 1:
            faults.silentSyncs = uniform(random, 0, 3) ? uniform(random, 1, 3) : 1000;
            outcome.faults = " " + std::to_string(faults.silentSyncs) + " syncs unanswered";
            break;
        case 2:
            faults.badChecksumBlocks = uniform(random, 1, 3);
            outcome.faults = " " + std::to_string(faults.badChecksumBlocks) + " blocks with a bad checksum";
            break;
        case 3:
            faults.decoyOpcode = uniform(random, 0, 1) ? 0x03 : 0x0A;
            faults.decoys = uniform(random, 1, 4);
            outcome.faults = " decoy answers";
            break;
        case 4:
            faults.errorOpcode = uniform(random, 0, 1) ? 0x02 : 0x03;
            faults.errors = uniform(random, 1, 3);
            outcome.faults = " error status on opcode " + std::to_string(faults.errorOpcode);
            break;
        case 5:
            faults.lateAnswers = {{0x03, uniform(random, 0, blocks - 1), uniform(random, 1, 2),
                                   std::chrono::milliseconds(uniform(random, 100, 2500))}};
            outcome.faults = " late block answers";
            break;
        case 6:
            faults.silentOpcode = 0x03;
            faults.silentAfter = uniform(random, 0, blocks - 1);
            faults.silents = uniform(random, 1, 3);
            outcome.faults = " " + std::to_string(faults.silents) + " block answers lost";
            break;
        case 7:
            faults.hangUpOpcode = uniform(random, 0, 1) ? 0x03 : 0x02;
            faults.hangUpAfter = faults.hangUpOpcode == 0x03 ? uniform(random, 0, blocks - 1) : 0;
            outcome.faults = " hang-up on opcode " + std::to_string(faults.hangUpOpcode);
            break;
        case 8:
            faults.flipByteAt = uniform(random, 0, static_cast<int>(image.size()) - 1);
            outcome.faults = " a flash byte flipped after the write";
            break;
        case 9:
            split = true;
            outcome.faults = " answers split byte by byte";
            break;
        case 10:
            noiseEvery = static_cast<unsigned>(uniform(random, 2, 20));
            outcome.faults = " noise before every " + std::to_string(noiseEvery) + "th answer";
            break;
        }
        auto rom = std::make_shared<sim::SimRomPeer>();
        rom->with([&](sim::SimRomLoader& m) { m.faults() = faults; });
        // Before the rig: its destructor may still wait for a flash that reads the file.
        const TempFile file(image, "esp32.bin");
        UploadRig rig;
        rig.beacon().setBootloaderPeer(
            std::make_shared<RoughLine>(rom, split, noiseEvery, static_cast<unsigned>(random())));
        std::string error;
        if (!rig.connect(&error)) {
            ADD_FAILURE() << "the link did not connect: " << error;
            return outcome;
        }
        EspFlashJob& job = rig.session().espFlash();
        if (!rig.session().startEsp32Flash(file.path())) {
            ADD_FAILURE() << "the flash did not start";
            return outcome;
        }
        if (!eventually([&] { return job.finished(); }, 120s)) {
            ADD_FAILURE() << "run hung: the flash did not end within 120 s;" << outcome.faults;
            return outcome; // the rig's destructor waits for the flash
        }
        outcome.success = ProgressText::label(job.percent(), job.succeeded()) == ProgressText::kSuccess;
        const auto result = job.takeCompletion();
        if (result && !result->ok)
            outcome.cause = result->error; // the window logs it: "ESP32 flashing failed: <text>"
        // Counted by kind: the digests of a verification that failed differ from run to run.
        outcome.cause = outcome.cause.substr(0, outcome.cause.find(" (MD5 of the image"));
        Bytes flash;
        rom->with(
            [&](sim::SimRomLoader& m) { flash.assign(m.flash().begin(), m.flash().begin() + image.size()); });
        outcome.imageConfirmed = flash == image;
        rig.stop();
        return outcome;
    }

    LogCapture log;
};

TEST_F(Soak, EveryRunEndsConfirmedOrWithAReasonAndNeverWithAFalseSuccess) {
    const unsigned runs = envNumber("TAVISK_SOAK_RUNS", 16);
    const unsigned seed = envNumber("TAVISK_SOAK_SEED", std::random_device{}());
    // Printed before the first run: a run that crashes or hangs can be repeated too.
    // On the process's standard output: the log capture holds std::cout.
    std::printf("soak: %u runs, seed %u (repeat with TAVISK_SOAK_SEED=%u)\n", runs, seed, seed);
    std::fflush(stdout);
    Random random(seed);
    unsigned successes = 0;
    unsigned falseSuccesses = 0;
    std::map<std::string, unsigned> failures;
    for (unsigned run = 0; run < runs; ++run) {
        log.clear();
        const bool esp32 = run % 2 == 1;
        const Outcome outcome = esp32 ? esp32Run(random) : stm32Run(random);
        const std::string name =
            std::string(esp32 ? "ESP32" : "STM32") + " run " + std::to_string(run) + ":" + outcome.faults;
        if (HasFailure()) {
            log.printTail(std::cerr, 40);
            FAIL() << name;
        }
        if (outcome.success) {
            ++successes;
            if (!outcome.imageConfirmed) {
                ++falseSuccesses;
                ADD_FAILURE() << name << ": success reported for an image the simulator does not hold";
            }
        } else {
            ++failures[(esp32 ? "ESP32: " : "STM32: ") +
                       (outcome.cause.empty() ? "NO REASON" : outcome.cause)];
            EXPECT_FALSE(outcome.cause.empty()) << name << ": failed without a line that says why";
        }
    }
    std::ostringstream summary;
    summary << "soak: seed " << seed << ", " << runs << " runs, " << successes << " successes, "
            << runs - successes << " failures, " << falseSuccesses << " false successes\n";
    for (const auto& [cause, count] : failures)
        summary << "soak:   " << count << " x " << cause << "\n";
    std::printf("%s", summary.str().c_str());
    std::fflush(stdout);
    EXPECT_EQ(falseSuccesses, 0u);
}

} // namespace
} // namespace tavisk::test
