#include "link/FastCrc8.h"
#include "link/PayloadHandler.h"
#include "link/SerialListener.h"
#include "link/SerialSender.h"
#include "link/UsbCommunication.h"
#include "tests/link/FakeLink.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace tavisk::test {
namespace {

using namespace std::chrono_literals;
using Sender = PayloadProtocol::SerialSender<256, FakeLink&, PayloadHandler, FastCrc8>;
using Listener = PayloadProtocol::SerialListener<FakeLink&, PayloadHandler>;

using Bytes = FakeLink::Bytes;
const std::string kKeyFired = "Execute handler SET_LISTENER_TIMEOUT";

// Bitwise CRC-8/MAXIM frame, built apart from the engine.
Bytes frame(const Bytes& payload) {
    std::uint8_t crc = 0;
    for (auto b : payload) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<std::uint8_t>((crc >> 1) ^ 0x8C)
                            : static_cast<std::uint8_t>(crc >> 1);
    }
    Bytes f(payload.size() + 3);
    f[0] = 0x7E;
    f[1] = static_cast<std::uint8_t>(payload.size() - 1);
    std::copy(payload.begin(), payload.end(), f.begin() + 2);
    f.back() = crc;
    return f;
}

class Workers : public ::testing::Test {
protected:
    LogCapture log;
    FakeLink link;
    PayloadHandler engine;
    // The listener registers SET_LISTENER_TIMEOUT, which the sender fires.
    Listener listener{link, engine};
    Sender sender{engine, link};

    void queue(const Bytes& payload, unsigned timeoutMs) {
        engine.castCommand(payload.data(), static_cast<unsigned char>(payload.size()), timeoutMs);
    }
    bool waitForWrites(std::size_t n) {
        return link.waitFor([n](FakeLink& l) { return l.writes.size() >= n; });
    }
};

TEST_F(Workers, QueuedFramesGoOutInOrderEachAnnouncedOnce) {
    queue({1, 0xFF, 1}, 3000);
    queue({2, 5, 5, 0}, 500);
    queue({3, 5, 5, 1}, 500);
    sender.start(false);
    ASSERT_TRUE(waitForWrites(3));
    ASSERT_TRUE(log.waitForText("Response transmit success", 3));
    EXPECT_EQ(link.written(),
              (std::vector<Bytes>{frame({1, 0xFF, 1}), frame({2, 5, 5, 0}), frame({3, 5, 5, 1})}));
    EXPECT_EQ(log.count(kKeyFired), 3u);
    EXPECT_EQ(log.count("Get message from queue!"), 3u);
    EXPECT_EQ(engine.getQueueSize(), 0u);
    EXPECT_EQ(listener.currentTimeout(), 500u) << "the listener waits with the last frame's timeout";
}

struct WriteScript {
    const char* name;
    std::deque<LinkStatus> statuses;
    std::size_t writes;
    std::size_t warnings;
    std::size_t drops;
};

class SenderRetries : public Workers, public ::testing::WithParamInterface<WriteScript> {};

TEST_P(SenderRetries, TriesAFrameUpToSixTimesAndAnnouncesItOnce) {
    const WriteScript& s = GetParam();
    link.failNextWrites(s.statuses);
    queue({1, 0xFF, 1}, 3000);
    sender.start(false);
    ASSERT_TRUE(waitForWrites(s.writes));
    ASSERT_TRUE(log.waitForText(s.drops ? "Response count exceeded" : "Response transmit success"));
    EXPECT_EQ(log.count("Response transmit not success. Try again!", BaseLogger::WARNING), s.warnings);
    EXPECT_EQ(log.count("Response count exceeded", BaseLogger::ERROR), s.drops);
    EXPECT_EQ(log.count(kKeyFired), 1u);
    EXPECT_EQ(engine.getQueueSize(), 0u);

    // The next frame is taken fresh: announced again, written once.
    queue({2, 0xFF, 1}, 3000);
    ASSERT_TRUE(waitForWrites(s.writes + 1));
    ASSERT_TRUE(log.waitForText(kKeyFired, 2));
    sender.terminate();
    EXPECT_EQ(link.written().size(), s.writes + 1);
}

const LinkStatus F = LINK_WRITE_FAILED;
const LinkStatus U = LINK_UNAVAILABLE;
INSTANTIATE_TEST_SUITE_P(, SenderRetries,
                         ::testing::Values(WriteScript{"fails_once", {F}, 2, 1, 0},
                                           WriteScript{"fails_five_times", {F, U, U, U, U}, 6, 5, 0},
                                           WriteScript{"always_fails", {F, U, U, U, U, U}, 6, 6, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Workers, AFrameInFlightSurvivesTheQueueBeingClearedAndTheNextFrameIsNotLost) {
    link.closeWriteGate();
    queue({1, 0xFF, 1}, 3000);
    sender.start(false);
    ASSERT_TRUE(link.waitFor([](FakeLink& l) { return l.writersAtGate == 1; }));
    // While the write is under way: the queue is emptied (freeing its frames) and refilled.
    engine.resetState();
    queue({1, 5, 5, 0}, 500);
    link.openWriteGate();
    ASSERT_TRUE(waitForWrites(2));
    EXPECT_EQ(link.written(), (std::vector<Bytes>{frame({1, 0xFF, 1}), frame({1, 5, 5, 0})}));
    ASSERT_TRUE(log.waitForText("Response transmit success", 2));
    EXPECT_EQ(engine.getQueueSize(), 0u);
}

TEST_F(Workers, RequestOperationsQueueTheirRequests) {
    sender.search();
    EXPECT_TRUE(log.contains("device info request. Search device..."));
    std::vector<Bytes> expected = {frame({1, 0xFF, 1})};
    // The second argument of getInfoFields changes nothing.
    for (std::uint8_t unused : {0, 7, 255}) {
        sender.getInfoFields(3, unused);
        expected.push_back(frame({static_cast<std::uint8_t>(expected.size() + 1), 3, 5, 0}));
    }
    EXPECT_EQ(log.count("fields info request. Get fields..."), 3u);
    sender.start(false);
    ASSERT_TRUE(waitForWrites(expected.size()));
    EXPECT_EQ(link.written(), expected);
    // Without the device in the model the engine refuses the write; the sender still logs.
    sender.setFieldValue(3, 2);
    EXPECT_TRUE(log.contains("set value for field 2"));
}

TEST_F(Workers, ListenerHandsEachReadToTheEngineAndAPieceAtATimeCompletesAnAnswer) {
    listener.start(false);
    engine.onMessage(MSG_SEARCH_DEVICES, nullptr);
    engine.generateResponse(MSG_SEARCH_DEVICES, nullptr);
    Bytes record = {1, 5, 0, 2, 13, 0, 0, 0, 0, 0, 0, 0, 6, 'b', 'e', 'a', 'c', 'o', 'n'};
    record.resize(76, 0);
    record[7] = 4;
    const Bytes answer = frame(record);
    link.push(Bytes(answer.begin(), answer.begin() + 30));
    ASSERT_TRUE(log.waitForText("Request was get", 1));
    link.push(Bytes(answer.begin() + 30, answer.end()));
    ASSERT_TRUE(log.waitForText("added device with address 5"));
    EXPECT_EQ(log.count("Request was get"), 2u);
    std::lock_guard<std::recursive_mutex> lock(engine.getMutex());
    EXPECT_NE(engine.deviceHandler.getDevice(5), nullptr);
}

TEST_F(Workers, ListenerLogsEachSilentReplyTimeout) {
    listener.start(false);
    ASSERT_TRUE(log.waitForText("Listener timeout waiting for response", 2));
    EXPECT_EQ(log.count("Listener timeout waiting for response", BaseLogger::WARNING),
              log.count("Listener timeout"));
}

TEST_F(Workers, ListenerEndsItselfWhenTheLinkIsUnavailableAndRunsAgainOnStart) {
    link.setUnavailable(true);
    listener.start(false);
    ASSERT_TRUE(log.waitForText("Thread is terminated"));
    link.setUnavailable(false);
    listener.start(false);
    ASSERT_TRUE(log.waitForText(" run() is START", 2));
    const int calls = [&] {
        int n = 0;
        link.waitFor([&](FakeLink& l) { return (n = l.readCalls) >= 3; });
        return n;
    }();
    EXPECT_GE(calls, 3);
}

TEST_F(Workers, ASelfEndingListenerNeverRacesAStartIntoTwoReaders) {
    for (int round = 0; round < 100; ++round) {
        link.setUnavailable(true);
        listener.start(false);
        std::thread other([&] { listener.start(false); });
        link.setUnavailable(round % 2 == 0);
        listener.start(false);
        other.join();
    }
    link.setUnavailable(false);
    listener.start(false);
    ASSERT_TRUE(link.waitFor([](FakeLink& l) { return l.readersNow == 1; }));
    EXPECT_EQ(link.maxConcurrentReaders(), 1);
}

TEST_F(Workers, TerminateDoesNotWaitOutALongReplyTimeout) {
    queue({1, 5, 3, 1, 8, 0, 0, 0, 0}, 20000);
    sender.start(false);
    listener.start(false);
    // The key has fired (and its handler returned) before the sender writes and logs this.
    ASSERT_TRUE(log.waitForText("Response transmit success"));
    ASSERT_EQ(listener.currentTimeout(), 20000u);
    ASSERT_TRUE(link.waitFor([](FakeLink& l) { return l.readersNow == 1; }));
    // Both workers end well inside the 20 s the listener's read would otherwise wait.
    auto stopped = std::async(std::launch::async, [&] {
        listener.terminate();
        sender.terminate();
    });
    EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(log.contains("Listener timeout waiting for response"));
}

// The real link: with no usable method the first read ends the listener.
class ListenerOnRealLink : public ::testing::TestWithParam<UsbCommunication::ConnectionMethod> {};

TEST_P(ListenerOnRealLink, EndsAtTheFirstReadWithoutAUsableMethod) {
    LogCapture log;
    UsbCommunication link;
    if (GetParam() == UsbCommunication::USB) {
        ASSERT_EQ(link.connect(UsbCommunication::USB), LINK_OK);
    }
    PayloadHandler engine;
    PayloadProtocol::SerialListener<UsbCommunication&, PayloadHandler> listener(link, engine);
    listener.start(false);
    ASSERT_TRUE(log.waitForText("Thread is terminated"));
    EXPECT_FALSE(log.contains("Listener timeout"));
}

INSTANTIATE_TEST_SUITE_P(, ListenerOnRealLink,
                         ::testing::Values(UsbCommunication::NONE, UsbCommunication::USB),
                         [](const auto& info) {
                             return info.param == UsbCommunication::USB ? "USB" : "NONE";
                         });

} // namespace
} // namespace tavisk::test
