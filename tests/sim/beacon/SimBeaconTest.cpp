#include "tests/sim/beacon/SimBeacon.h"

#include <gtest/gtest.h>

#include <string>

namespace tavisk::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

TEST(BeaconCrc8, MatchesTheDallasMaximCheckValues) {
    const std::string digits = "123456789";
    EXPECT_EQ(beaconCrc8(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()), 0xA1);
    const std::string abc = "abc";
    EXPECT_EQ(beaconCrc8(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()), 0x42);
    EXPECT_EQ(beaconFrame({0x01, 0xFF, 0x01}), (Bytes{0x7E, 0x02, 0x01, 0xFF, 0x01, 0x74}));
    EXPECT_EQ(beaconFrame({0x00, 0x02, 0x03, 0x02, 0x08, 0x01, 0x00, 0x00, 0x00}),
              SimBeacon::bootloaderEntryFrame());
}

// Drives a beacon directly, with a clock of its own.
class Beacon : public ::testing::Test {
public:
    void make(BeaconConfig config = BeaconConfig()) {
        beacon = std::make_unique<SimBeacon>(std::move(config));
    }
    void SetUp() override { make(); }

    // Sends one request and returns every answer frame's payload due within a second.
    std::vector<Bytes> ask(const Bytes& payload) {
        const Bytes frame = beaconFrame(payload);
        beacon->receive(frame.data(), frame.size(), now);
        return collect(1s);
    }
    std::vector<Bytes> collect(SimClock::duration within) {
        std::vector<Bytes> answers;
        Bytes line;
        for (auto& e : beacon->takeDue(now + within))
            line.insert(line.end(), e.bytes.begin(), e.bytes.end());
        BeaconFrameReader reader;
        for (auto b : line)
            if (reader.feed(b) == BeaconFrameReader::Result::Frame)
                answers.push_back(reader.payload());
        raw = line;
        now += within;
        return answers;
    }
    Bytes request(std::uint8_t command, Bytes rest, std::uint8_t address = 5) {
        Bytes p = {pack++, address, command};
        p.insert(p.end(), rest.begin(), rest.end());
        return p;
    }
    Bytes fileWrite(std::uint32_t offset, const Bytes& data) {
        Bytes rest = {0, static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(offset >> 8),
                      static_cast<std::uint8_t>(offset >> 16), static_cast<std::uint8_t>(offset >> 24)};
        rest.insert(rest.end(), data.begin(), data.end());
        return request(8, rest);
    }
    Bytes armErase() { return request(3, {1, 8, 0x4A, 0xD9, 0x71, 0x2C}); }
    // The status byte of the single answer to `payload`.
    int status(const Bytes& payload) {
        auto answers = ask(payload);
        return answers.size() == 1 ? answers[0][2] : -1;
    }

    std::unique_ptr<SimBeacon> beacon;
    SimTime now = SimClock::now();
    std::uint8_t pack = 1;
    Bytes raw;
};

TEST_F(Beacon, AnswersTheSearchWithItsIdentity) {
    auto answers = ask(request(1, {}, 0xFF));
    ASSERT_EQ(answers.size(), 1u);
    const Bytes& a = answers[0];
    ASSERT_EQ(a.size(), 76u);
    EXPECT_EQ(a[0], 1);  // pack
    EXPECT_EQ(a[1], 5);  // address
    EXPECT_EQ(a[2], 0);  // status
    EXPECT_EQ(a[3], 2);  // major
    EXPECT_EQ(a[4], 13); // minor
    EXPECT_EQ(a[7], 4);  // field count
    EXPECT_EQ(a[12], 6); // name length
    EXPECT_EQ(std::string(a.begin() + 13, a.begin() + 19), "beacon");
    EXPECT_EQ(a[19], 0);
}

TEST_F(Beacon, DescribesEachFieldAndRefusesIndicesBeyondTheTable) {
    BeaconConfig config;
    config.fields = beaconFields(3);
    make(config);
    const std::vector<std::pair<std::uint8_t, std::string>> expected = {
        {0, "serial"}, {1, "channel"}, {2, "reboot"}, {3, "erase"}};
    for (const auto& [index, name] : expected) {
        auto answers = ask(request(5, {index}));
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0][2], 0);
        EXPECT_EQ(answers[0][4], name.size());
        EXPECT_EQ(std::string(answers[0].begin() + 5, answers[0].end()), name);
    }
    EXPECT_EQ(status(request(5, {4})), 1);
}

TEST_F(Beacon, IgnoresRequestsForOtherDevices) {
    EXPECT_TRUE(ask(request(5, {0}, 6)).empty());
    EXPECT_EQ(beacon->requestCount(5), 1u);
}

TEST_F(Beacon, OnlyTheEraseCodeArmsTheErase) {
    EXPECT_EQ(status(request(3, {1, 8, 1, 2, 3, 4})), 0);
    EXPECT_FALSE(beacon->eraseArmed());
    EXPECT_EQ(beacon->fieldValue(1), 0x04030201u);
    EXPECT_EQ(status(armErase()), 0);
    EXPECT_TRUE(beacon->eraseArmed());
    EXPECT_EQ(status(request(3, {1, 8, 1})), 2) << "value shorter than its type";
}

TEST_F(Beacon, KeepsAndChecksTheImage) {
    Bytes image;
    for (int i = 0; i < 70; ++i)
        image.push_back(static_cast<std::uint8_t>(i * 7));
    beacon->setExpectedImage(image);
    EXPECT_EQ(status(fileWrite(0, {})), 4) << "erase before the erase code was written";
    EXPECT_EQ(status(armErase()), 0);
    EXPECT_EQ(status(fileWrite(0, {})), 0);
    for (std::uint32_t offset = 0; offset < image.size(); offset += 32) {
        const Bytes chunk(image.begin() + offset,
                          image.begin() + std::min<std::size_t>(offset + 32, image.size()));
        EXPECT_EQ(status(fileWrite(offset, chunk)), 0);
    }
    EXPECT_EQ(status(fileWrite(64, Bytes(image.begin() + 64, image.end()))), 0) << "a repeated chunk";
    EXPECT_FALSE(beacon->imageComplete());
    EXPECT_EQ(status(fileWrite(70, {})), 0);
    EXPECT_TRUE(beacon->imageMatches());
    ASSERT_EQ(beacon->violations().size(), 1u); // the erase before arming
}

TEST_F(Beacon, ReportsProtocolViolations) {
    struct Case {
        const char* name;
        std::function<void(Beacon&)> run;
        std::string violation;
    };
    const std::vector<Case> cases = {
        {"pack gap",
         [](Beacon& t) {
             t.ask(t.request(1, {}, 0xFF));
             t.pack += 2;
             t.ask(t.request(1, {}, 0xFF));
         },
         "pack #4 after pack #1"},
        {"chunk gap",
         [](Beacon& t) {
             t.ask(t.armErase());
             t.ask(t.fileWrite(0, {}));
             t.ask(t.fileWrite(32, Bytes(32, 1)));
         },
         "chunk at offset 32 after 0 bytes"},
        {"data before erase", [](Beacon& t) { t.ask(t.fileWrite(0, Bytes(4, 1))); },
         "file data before an erase"},
        {"wrong image",
         [](Beacon& t) {
             t.beacon->setExpectedImage({1, 2});
             t.ask(t.armErase());
             t.ask(t.fileWrite(0, {}));
             t.ask(t.fileWrite(0, {1, 3}));
             EXPECT_EQ(t.status(t.fileWrite(2, {})), 8) << "a wrong image is not closed";
         },
         "received image differs from the expected one"},
        {"second request outstanding",
         [](Beacon& t) {
             t.ask(t.armErase());
             t.beacon->addFault({SimBeacon::Fault::Late, 8, 0, 100ms});
             const Bytes first = beaconFrame(t.fileWrite(0, {}));
             const Bytes second = beaconFrame(t.fileWrite(0, {}));
             t.beacon->receive(first.data(), first.size(), t.now);
             t.beacon->receive(second.data(), second.size(), t.now + 10ms);
         },
         "file-write request while the answer to the previous one is outstanding"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        make();
        pack = 1;
        c.run(*this);
        const auto problems = beacon->violations();
        ASSERT_FALSE(problems.empty());
        EXPECT_EQ(problems.back(), c.violation);
    }
}

TEST_F(Beacon, AppliesEachFaultToOneAnswer) {
    using F = SimBeacon::Fault;
    const Bytes good = beaconFrame({1, 5, 0});
    struct Case {
        F fault;
        std::function<void(const Bytes& raw, SimBeacon& beacon)> check;
    };
    const std::vector<Case> cases = {
        {F::BadCrc,
         [&](const Bytes& r, SimBeacon&) {
             EXPECT_EQ(r.size(), 6u);
             EXPECT_NE(r, good);
         }},
        {F::WrongPack,
         [&](const Bytes& r, SimBeacon&) {
             EXPECT_EQ(r, beaconFrame({0x56, 5, 0}));
         }},
        {F::StalePack,
         [&](const Bytes& r, SimBeacon&) {
             EXPECT_EQ(r, beaconFrame({0, 5, 0}));
         }},
        {F::Drop, [&](const Bytes& r, SimBeacon&) { EXPECT_TRUE(r.empty()); }},
        {F::ErrorStatus,
         [&](const Bytes& r, SimBeacon&) {
             EXPECT_EQ(r, beaconFrame({1, 5, 3}));
         }},
        {F::Truncated,
         [&](const Bytes& r, SimBeacon&) { EXPECT_EQ(r, Bytes(good.begin(), good.begin() + 3)); }},
        {F::Noise,
         [&](const Bytes& r, SimBeacon&) {
             Bytes expected = {0x11, 0x22, 0x33, 0x44};
             expected.insert(expected.end(), good.begin(), good.end());
             EXPECT_EQ(r, expected);
         }},
        {F::NoiseWithStart,
         [&](const Bytes& r, SimBeacon&) {
             ASSERT_EQ(r.size(), 10u);
             EXPECT_EQ(r[1], 0x7E);
             EXPECT_EQ(Bytes(r.begin() + 4, r.end()), good);
         }},
        {F::SplitBytes, [&](const Bytes& r, SimBeacon&) { EXPECT_EQ(r, good); }},
        {F::HangUp,
         [&](const Bytes& r, SimBeacon& b) {
             EXPECT_TRUE(r.empty());
             EXPECT_TRUE(b.hangUpRequested());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        make();
        beacon->addFault({c.fault, 3});
        const Bytes frame = beaconFrame({1, 5, 3, 2, 0, 0});
        beacon->receive(frame.data(), frame.size(), now);
        Bytes line;
        std::size_t emissions = 0;
        for (auto& e : beacon->takeDue(now + 1s)) {
            ++emissions;
            line.insert(line.end(), e.bytes.begin(), e.bytes.end());
        }
        c.check(line, *beacon);
        if (c.fault == F::SplitBytes) {
            EXPECT_EQ(emissions, good.size());
        }
        // The fault is spent: the next answer is sound.
        const Bytes next = beaconFrame({2, 5, 3, 2, 0, 0});
        beacon->receive(next.data(), next.size(), now);
        Bytes after;
        for (auto& e : beacon->takeDue(now + 2s))
            after.insert(after.end(), e.bytes.begin(), e.bytes.end());
        if (c.fault != F::HangUp) {
            EXPECT_EQ(after, beaconFrame({2, 5, 0}));
        }
    }
}

TEST_F(Beacon, FaultPlansCountOnlyMatchingAnswersAndLateAnswersWait) {
    beacon->addFault({SimBeacon::Fault::Late, 5, 1, 700ms});
    EXPECT_EQ(ask(request(3, {0, 8, 0, 0, 0, 0})).size(), 1u) << "set field: not counted";
    EXPECT_EQ(ask(request(5, {0})).size(), 1u) << "first field info: skipped";
    const Bytes frame = beaconFrame(request(5, {1}));
    beacon->receive(frame.data(), frame.size(), now);
    EXPECT_EQ(beacon->nextDue(), now + 700ms);
    EXPECT_TRUE(collect(699ms).empty());
    EXPECT_EQ(collect(1ms).size(), 1u);
}

// Stands in for the ROM loader: records what it gets and answers 0xC0 to each call.
class RecordingPeer : public LinePeer {
public:
    void receive(const std::uint8_t* data, std::size_t size, SimTime at) override {
        got.insert(got.end(), data, data + size);
        due = at;
    }
    SimTime nextDue() const override { return due; }
    std::vector<Emission> takeDue(SimTime now) override {
        if (due > now)
            return {};
        due = SimTime::max();
        return {{now, {0xC0}}};
    }
    Bytes got;
    SimTime due = SimTime::max();
};

TEST_F(Beacon, HandsTheLineToTheBootloaderOnTheEntryFrame) {
    auto rom = std::make_shared<RecordingPeer>();
    beacon->setBootloaderPeer(rom);
    Bytes line = SimBeacon::bootloaderEntryFrame();
    const Bytes after = {0xC0, 0x00, 0x08, 0xC0};
    line.insert(line.end(), after.begin(), after.end());
    beacon->receive(line.data(), line.size(), now);
    EXPECT_TRUE(beacon->handedOff());
    EXPECT_EQ(rom->got, after);
    auto out = beacon->takeDue(now);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, Bytes{0xC0});
    // A search now goes to the bootloader, not to the beacon.
    EXPECT_TRUE(ask(request(1, {}, 0xFF)).size() == 0);
    EXPECT_EQ(beacon->requestCount(1), 0u);
}

TEST_F(Beacon, WithoutABootloaderTheEntryFrameChangesNothing) {
    const Bytes& entry = SimBeacon::bootloaderEntryFrame();
    beacon->receive(entry.data(), entry.size(), now);
    EXPECT_FALSE(beacon->handedOff());
    EXPECT_EQ(ask(request(1, {}, 0xFF)).size(), 1u);
}

} // namespace
} // namespace tavisk::sim
