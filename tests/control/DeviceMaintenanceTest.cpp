// The session's device maintenance operations, which no control of the window reaches, through
// the real port, link, engine and workers against the simulated beacon on a pseudo-terminal.
// With the line free, each does its one step: its line in the log, and what it sends reaches
// the device whole, with nothing else before a later search that is answered. While an STM32
// upload holds the line, each is refused with one WARNING, sends nothing, leaves the workers as
// they were, and the upload completes.
#include "link/PayloadFrame.h"
#include "tests/control/UploadRig.h"
#include "tests/sim/beacon/SharedTestImage.h"
#include "tests/support/Eventually.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

namespace tavisk::test {
namespace {

using namespace std::chrono_literals;
using sim::SimBeacon;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kDeadline = 20s;
// How long a worker that must not act is given to act all the same: a bound on finding that
// fault, never a condition of passing.
constexpr auto kSettle = 300ms;
constexpr std::size_t kFields = 4; // of the beacon's default table
constexpr std::uint8_t kSearch = 1, kSetField = 3, kFieldInfo = 5, kFileWrite = 8;

// Every byte the program puts on the line, also those outside any frame, which the beacon
// passes over without a word.
class LineRecorder : public sim::LinePeer {
public:
    void receive(const std::uint8_t* data, std::size_t size, sim::SimTime) override {
        std::lock_guard<std::mutex> lock(mutex);
        bytes.insert(bytes.end(), data, data + size);
    }
    sim::SimTime nextDue() const override { return sim::SimTime::max(); }
    std::vector<sim::Emission> takeDue(sim::SimTime) override { return {}; }

    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes.size();
    }
    Bytes since(std::size_t from) const {
        std::lock_guard<std::mutex> lock(mutex);
        return Bytes(bytes.begin() + static_cast<long>(std::min(from, bytes.size())), bytes.end());
    }

private:
    mutable std::mutex mutex;
    Bytes bytes;
};

struct Logged {
    BaseLogger::MessageType type;
    std::string text; // whole, prefix included
};

enum class Model {
    DESCRIBED, // device 5 and its four fields found by a search
    EMPTY,     // connected, nothing searched for
};

// What an operation leaves of the workers: one of them stopped or ended, to be started again.
enum class Worker { UNTOUCHED, LISTENER_STOPPED, LISTENER_ENDED, SENDER_STOPPED, SENDER_ENDED };

// What reaches the device, as far as the line and the beacon tell.
struct Reach {
    std::vector<std::string> frames = {}; // as the beacon notes them, without the pack number
    std::string unframed = {};            // bytes on the line before the frames, outside any frame
    std::vector<std::pair<std::size_t, std::uint32_t>> written = {}; // field values the beacon then holds
};

struct MaintenanceCase {
    const char* name;
    const char* refusedAs; // "<what> refused: ..."
    std::function<void(BeaconSession&)> operation;
    unsigned calls;             // in a row: the lines are logged once all the same
    std::vector<Logged> logged; // each exactly once; no other line of any case
    Reach reach;
    Worker worker = Worker::UNTOUCHED;
    Model model = Model::DESCRIBED;
    std::function<void(BeaconSession&)> prepare = {}; // with the line free, before the operation
};

// Wider than the fields written: a field takes only as many bytes as its type has.
const std::uint8_t kValue[8] = {0xF7, 0xE1, 0xC3, 0xA5, 0x99, 0x99, 0x99, 0x99};
const std::string kSearchFrame = "device info to device 255, 3 bytes";
const std::string kFieldFrame = "field info to device 5, 4 bytes";
const std::string kListenerTimeout = "SerialListener: Listener timeout waiting for response";

const std::vector<MaintenanceCase>& cases() {
    using L = BaseLogger;
    using S = BeaconSession;
    static const std::vector<MaintenanceCase> table = {
        // --- requests
        {"search",
         "Device info request",
         [](S& s) { s.searchPayloadDevices(); },
         1,
         {{L::INFO, "SerialSender: device info request. Search device..."}},
         {{kSearchFrame}}},
        // The first field's answer chains the others, as after a search.
        {"field_descriptions",
         "Fields info request",
         [](S& s) { s.getInfoFieldsRespond(); },
         1,
         {{L::INFO, "SerialSender: fields info request. Get fields..."}},
         {{kFieldFrame, kFieldFrame, kFieldFrame, kFieldFrame}}},
        {"firmware_update_mode",
         "Device update mode request",
         [](S& s) { s.setDeviceDfuMode(); },
         1,
         {{L::INFO, "SerialSender: set device to DFU mode"}},
         {{}, "TaviskEnterDFUBootloaderMode\r\n"}},
        // --- field writes: "serial" holds 4 bytes, "channel" 1
        {"field_write_of_four_bytes",
         "Field write",
         [](S& s) { s.setFieldValue(kValue, 0); },
         1,
         {{L::INFO, "SerialSender: set value for field 0"}},
         {{"set field to device 5, 9 bytes"}, "", {{0, 0xA5C3E1F7}}}},
        {"field_write_of_one_byte",
         "Field write",
         [](S& s) { s.setFieldValue(kValue, 2); },
         1,
         {{L::INFO, "SerialSender: set value for field 2"}},
         {{"set field to device 5, 6 bytes"}, "", {{2, 0xF7}}}},
        {"field_write_without_a_device",
         "Field write",
         [](S& s) { s.setFieldValue(kValue, 0); },
         1,
         {{L::ERROR, "MainWindow: device didn't exist for set field value"}},
         {},
         Worker::UNTOUCHED,
         Model::EMPTY},
        {"field_write_to_a_field_the_device_lacks",
         "Field write",
         [](S& s) { s.setFieldValue(kValue, kFields); },
         1,
         {{L::ERROR, "MainWindow: field didn't exist for set field value"}},
         {}},
        // Field 0 by its low byte: no field has this index, and none is written.
        {"field_write_to_an_index_beyond_a_byte",
         "Field write",
         [](S& s) { s.setFieldValue(kValue, 256); },
         1,
         {{L::ERROR, "MainWindow: field didn't exist for set field value"}},
         {}},
        // --- the workers: stopped or ended, each a second time without a word
        {"listener_stopped",
         "Stopping the listener",
         [](S& s) { s.stopPayloadListener(); },
         2,
         {{L::DEBUG, "SerialListener: Thread is stoped"}},
         {},
         Worker::LISTENER_STOPPED},
        {"sender_stopped",
         "Stopping the sender",
         [](S& s) { s.stopPayloadSender(); },
         2,
         {{L::DEBUG, "SerialSender: Thread is stoped"}},
         {},
         Worker::SENDER_STOPPED},
        {"listener_ended",
         "Ending the listener",
         [](S& s) { s.terminatePayloadListener(); },
         2,
         {{L::DEBUG, "SerialListener: Thread is terminated"}},
         {},
         Worker::LISTENER_ENDED},
        {"sender_ended",
         "Ending the sender",
         [](S& s) { s.terminatePayloadSender(); },
         2,
         {{L::DEBUG, "SerialSender: Thread is terminated"}},
         {},
         Worker::SENDER_ENDED},
        // ... and started again, a second time without a word: the search that follows goes out
        // and its answer is read
        {"listener_started_after_its_end",
         "Starting the listener",
         [](S& s) { s.startPayloadListener(); },
         2,
         {{L::DEBUG, "SerialListener: Thread is started"}},
         {},
         Worker::UNTOUCHED,
         Model::DESCRIBED,
         [](S& s) { s.terminatePayloadListener(); }},
        {"sender_started_after_its_end",
         "Starting the sender",
         [](S& s) { s.startPayloadSender(); },
         2,
         {{L::DEBUG, "SerialSender: Thread is started"}},
         {},
         Worker::UNTOUCHED,
         Model::DESCRIBED,
         [](S& s) { s.terminatePayloadSender(); }},
    };
    return table;
}

// Every line that some case logs: a case logs its own and none of the others.
const std::set<std::pair<BaseLogger::MessageType, std::string>>& caseLines() {
    static const auto lines = [] {
        std::set<std::pair<BaseLogger::MessageType, std::string>> all;
        for (const MaintenanceCase& c : cases())
            for (const Logged& line : c.logged)
                all.insert({line.type, line.text});
        return all;
    }();
    return lines;
}

struct Variant {
    const MaintenanceCase* c;
    bool lineHeld; // by an STM32 upload, whose erase acknowledgement is late
};

void PrintTo(const Variant& run, std::ostream* os) {
    *os << run.c->name << (run.lineHeld ? " while an upload holds the line" : "");
}

std::vector<Variant> withTheLineFree() {
    std::vector<Variant> runs;
    for (const MaintenanceCase& c : cases())
        runs.push_back({&c, false});
    return runs;
}

// Each operation once.
std::vector<Variant> whileAnUploadHoldsTheLine() {
    std::vector<Variant> runs;
    std::set<std::string> operations;
    for (const MaintenanceCase& c : cases())
        if (operations.insert(c.refusedAs).second)
            runs.push_back({&c, true});
    return runs;
}

class DeviceMaintenance : public ::testing::TestWithParam<Variant> {
protected:
    DeviceMaintenance() { rig.line().addPeer(recorder); }

    void TearDown() override {
        if (HasFailure())
            log.printTail(std::cerr, 60);
    }

    ::testing::AssertionResult ready(Model model) {
        std::string error;
        if (!rig.connect(&error))
            return ::testing::AssertionFailure() << error;
        if (model == Model::EMPTY)
            return ::testing::AssertionSuccess();
        if (!rig.discover(kDeadline))
            return ::testing::AssertionFailure() << "no device with a field \"erase\"";
        // The field chain has ended: nothing of the search is left to go out.
        const bool described = eventually(
            [&] {
                std::lock_guard<std::recursive_mutex> lock(rig.engine().getMutex());
                App::Device* d = rig.engine().deviceHandler.getDevice(5);
                return d && d->getFieldCount() == kFields && idle();
            },
            kDeadline);
        return described ? ::testing::AssertionSuccess()
                         : ::testing::AssertionFailure() << "the four fields were not described";
    }

    // Nothing queued and no answer awaited.
    bool idle() {
        PayloadHandler& e = rig.engine();
        for (MessageType type : {MSG_SEARCH_DEVICES, MSG_FIELD_INFO, MSG_SET_FIELD, MSG_GET_FIELD,
                                 MSG_FILE_INFO, MSG_FILE_WRITE, MSG_DFU})
            if (e.isPending(type))
                return false;
        return e.getQueueSize() == 0;
    }

    // A search queued at the engine itself, so that the session's lines stay the operation's.
    void queueSearch() {
        rig.engine().onMessage(MSG_SEARCH_DEVICES, nullptr);
        rig.engine().generateResponse(MSG_SEARCH_DEVICES, nullptr);
    }
    bool answered() {
        return eventually([&] { return idle(); }, kDeadline);
    }

    // What the operations and the workers have logged since `mark`.
    struct Mark {
        std::map<std::pair<BaseLogger::MessageType, std::string>, std::size_t> counts;
        std::size_t refusals = 0;
    };
    std::string refusalLine() const {
        return std::string("MainWindow: ") + GetParam().c->refusedAs + " refused: an STM32 upload is running";
    }
    Mark mark() const {
        Mark m;
        for (const auto& line : caseLines())
            m.counts[line] = log.countWhole(line.second, line.first);
        m.refusals = log.countWhole(refusalLine(), BaseLogger::WARNING);
        return m;
    }
    // Each line of `expected` once since `m`, every other line of the cases never.
    void expectLoggedSince(const Mark& m, const std::vector<Logged>& expected, const char* when) const {
        for (const auto& line : caseLines()) {
            std::size_t times = 0;
            for (const Logged& e : expected)
                times += e.type == line.first && e.text == line.second;
            EXPECT_EQ(log.countWhole(line.second, line.first) - m.counts.at(line), times)
                << "\"" << line.second << "\" " << when;
        }
    }

    // The frames that reached the beacon after the first `from` lines of its transcript, as it
    // notes them without the pack number, and their bytes on the line.
    struct Frames {
        std::vector<std::string> lines;
        std::size_t bytes = 0;
    };
    Frames framesSince(std::size_t from) {
        static const std::regex frame(R"(rx (.+), pack #\d+, (\d+) bytes)");
        Frames frames;
        const std::vector<std::string> transcript = rig.beacon().transcript();
        for (std::size_t i = from; i < transcript.size(); ++i) {
            std::smatch m;
            if (std::regex_match(transcript[i], m, frame)) {
                frames.lines.push_back(m[1].str() + ", " + m[2].str() + " bytes");
                frames.bytes += std::stoul(m[2].str()) + PayloadFrame::kOverhead;
            } else if (transcript[i].rfind("rx ", 0) == 0) {
                frames.lines.push_back(transcript[i]); // not a frame of the protocol
            }
        }
        return frames;
    }

    std::vector<std::uint32_t> fieldValues() {
        std::vector<std::uint32_t> values;
        for (std::size_t i = 0; i < kFields; ++i)
            values.push_back(rig.beacon().fieldValue(i));
        return values;
    }

    // A worker that was stopped or ended does no work until it is started again, and then it
    // does what was left: the search queued meanwhile goes out once and its answer is read.
    // `timeouts`: the listener's timeout lines when the operation had returned.
    void expectIdleUntilStarted(Worker worker, std::size_t timeouts) {
        const bool listener = worker == Worker::LISTENER_STOPPED || worker == Worker::LISTENER_ENDED;
        if (worker == Worker::LISTENER_STOPPED) {
            // A stop does not cut short the read in progress, which waits for the reply time of
            // the last frame sent; once that has passed unanswered, the listener reads no more.
            // No such line comes when the stop found it between two reads.
            eventually([&] { return log.countWhole(kListenerTimeout, BaseLogger::WARNING) > timeouts; },
                       kDeadline);
        }
        const Mark before = mark();
        const std::size_t searches = rig.beacon().requestCount(kSearch);
        const std::uint64_t sent = rig.line().bytesFromProgram();
        const std::uint64_t received = rig.line().bytesToProgram();
        queueSearch();
        if (worker == Worker::SENDER_STOPPED) {
            // Not looked at: the sender's loop does not heed a stop, and writes on.
        } else if (!listener) {
            std::this_thread::sleep_for(kSettle);
            EXPECT_EQ(rig.line().bytesFromProgram(), sent) << "the sender wrote";
            EXPECT_EQ(rig.beacon().requestCount(kSearch), searches);
        } else {
            // The search goes out and is answered; the answer waits on the line.
            ASSERT_TRUE(eventually(
                [&] {
                    return rig.beacon().requestCount(kSearch) == searches + 1 &&
                           rig.line().bytesToProgram() > received;
                },
                kDeadline));
            std::this_thread::sleep_for(kSettle);
            EXPECT_TRUE(rig.engine().isPending(MSG_SEARCH_DEVICES)) << "the listener read the answer";
        }
        if (listener)
            rig.session().startPayloadListener();
        else
            rig.session().startPayloadSender();
        const std::string started =
            listener ? "SerialListener: Thread is started" : "SerialSender: Thread is started";
        expectLoggedSince(before, {{BaseLogger::DEBUG, started}}, "by its start");
        EXPECT_TRUE(answered()) << "the search was not answered once the worker was started again";
        EXPECT_EQ(rig.beacon().requestCount(kSearch), searches + 1);
    }

    // The operation on the free line: its step, and nothing else before the search that follows.
    void expectItsOneStep(const MaintenanceCase& c) {
        ASSERT_TRUE(ready(c.model));
        if (c.prepare)
            c.prepare(rig.session());
        const Mark before = mark();
        const std::size_t heard = rig.beacon().transcript().size();
        const std::size_t recorded = recorder->size();
        const std::vector<std::uint32_t> values = fieldValues();
        for (unsigned i = 0; i < c.calls; ++i)
            c.operation(rig.session());
        const std::size_t timeouts = log.countWhole(kListenerTimeout, BaseLogger::WARNING);
        ASSERT_TRUE(eventually(
            [&] {
                return framesSince(heard).lines.size() >= c.reach.frames.size() &&
                       recorder->size() >= recorded + c.reach.unframed.size() && idle();
            },
            kDeadline))
            << "what the operation sends did not arrive";
        expectLoggedSince(before, c.logged, "by the operation");
        EXPECT_EQ(rig.session().runningJob(), LineOwner::Job::NONE);

        if (c.worker != Worker::UNTOUCHED) {
            expectIdleUntilStarted(c.worker, timeouts);
        } else {
            queueSearch();
            ASSERT_TRUE(answered()) << "the search after the operation was not answered";
        }

        const Frames frames = framesSince(heard);
        std::vector<std::string> expected = c.reach.frames;
        expected.push_back(kSearchFrame);
        ASSERT_GE(frames.lines.size(), expected.size());
        EXPECT_EQ(std::vector<std::string>(frames.lines.begin(), frames.lines.begin() + expected.size()),
                  expected);
        const Bytes bytes = recorder->since(recorded);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + std::min(bytes.size(), c.reach.unframed.size())),
                  c.reach.unframed);
        EXPECT_EQ(bytes.size(), c.reach.unframed.size() + frames.bytes)
            << "bytes outside the frames reached the line";

        std::vector<std::uint32_t> written = values;
        for (const auto& [index, value] : c.reach.written)
            written[index] = value;
        EXPECT_EQ(fieldValues(), written);
        // The update-mode message takes a pack number although it carries none, so the device
        // sees the search after it skip one.
        if (c.reach.unframed.empty()) {
            EXPECT_EQ(rig.beacon().violations(), std::vector<std::string>{});
        }
    }

    // The operation while an STM32 upload waits for its erase acknowledgement: refused, and
    // the upload completes with nothing of the operation on the line.
    void expectRefusal(const MaintenanceCase& c) {
        const Bytes image = sim::sharedTestImage(256);
        ASSERT_TRUE(ready(Model::DESCRIBED));
        rig.setImage(image);
        rig.beacon().addFault({SimBeacon::Fault::Late, kSetField, 0, 1000ms, 0});
        ASSERT_TRUE(rig.startUpload()) << "the erase code was not written";
        ASSERT_TRUE(eventually([&] { return rig.beacon().requestCount(kSetField) == 1; }, kDeadline))
            << "the erase write did not reach the device";

        const Mark before = mark();
        const std::size_t heard = rig.beacon().transcript().size();
        const std::size_t recorded = recorder->size();
        const std::vector<std::uint32_t> values = fieldValues();
        const std::size_t searches = rig.beacon().requestCount(kSearch);
        const std::size_t fieldInfos = rig.beacon().requestCount(kFieldInfo);
        const std::size_t fileWrites = rig.beacon().requestCount(kFileWrite);
        for (unsigned i = 0; i < c.calls; ++i)
            c.operation(rig.session());
        EXPECT_EQ(log.countWhole(refusalLine(), BaseLogger::WARNING) - before.refusals, c.calls)
            << refusalLine();
        expectLoggedSince(before, {}, "by a refused operation");

        const BeaconSession::UploadTick end = rig.runUpload(kDeadline);
        ASSERT_TRUE(end.ended && end.succeeded) << "the upload did not succeed: " << end.failure;
        EXPECT_TRUE(rig.beacon().imageMatches());
        EXPECT_EQ(rig.session().runningJob(), LineOwner::Job::NONE);
        // The upload's file writes alone, and the workers as they were: nothing started,
        // stopped or ended them meanwhile.
        expectLoggedSince(before, {}, "during the upload");
        const Frames frames = framesSince(heard);
        const std::size_t uploadRequests = 1 + image.size() / 32 + 1; // erase, chunks, close
        EXPECT_EQ(rig.beacon().requestCount(kFileWrite) - fileWrites, uploadRequests);
        EXPECT_EQ(frames.lines.size(), uploadRequests);
        for (const std::string& line : frames.lines)
            EXPECT_EQ(line.rfind("file write to device 5, ", 0), 0u) << line;
        EXPECT_EQ(recorder->since(recorded).size(), frames.bytes)
            << "bytes outside the frames reached the line";
        EXPECT_EQ(rig.beacon().requestCount(kSearch), searches);
        EXPECT_EQ(rig.beacon().requestCount(kFieldInfo), fieldInfos);
        EXPECT_EQ(rig.beacon().requestCount(kSetField), 1u);
        EXPECT_EQ(fieldValues(), values);
        EXPECT_EQ(rig.beacon().violations(), std::vector<std::string>{});
    }

    LogCapture log;
    std::shared_ptr<LineRecorder> recorder = std::make_shared<LineRecorder>();
    UploadRig rig;
};

TEST_P(DeviceMaintenance, DoesItsOneStepOrIsRefusedWhileAJobHasTheLine) {
    const Variant& run = GetParam();
    if (run.lineHeld)
        expectRefusal(*run.c);
    else
        expectItsOneStep(*run.c);
}

INSTANTIATE_TEST_SUITE_P(WithTheLineFree, DeviceMaintenance, ::testing::ValuesIn(withTheLineFree()),
                         [](const auto& info) { return std::string(info.param.c->name); });
INSTANTIATE_TEST_SUITE_P(WhileAnUploadHoldsTheLine, DeviceMaintenance,
                         ::testing::ValuesIn(whileAnUploadHoldsTheLine()), [](const auto& info) {
                             std::string name = info.param.c->refusedAs;
                             for (char& ch : name)
                                 ch = ch == ' ' ? '_' : static_cast<char>(std::tolower(ch));
                             return name;
                         });

} // namespace
} // namespace tavisk::test
