#include "link/PayloadHandler.h"
#include "tests/link/EngineTestSupport.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

using namespace tavisk::test;

namespace {

// The serial line between the sender and the stand-in device: whole frames in the order
// written. Like a driver's buffer it holds only so much; a writer waits for room, so the
// requests in flight stay few and an answer can never meet a pack number that wrapped round.
class FrameLine {
public:
    void write(Bytes frame) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return frames.size() < kCapacity || closed; });
        frames.push_back(std::move(frame));
        changed.notify_all();
    }
    // The next frame; nothing once the line is closed and empty.
    std::optional<Bytes> read() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return !frames.empty() || closed; });
        if (frames.empty())
            return std::nullopt;
        Bytes frame = std::move(frames.front());
        frames.pop_front();
        changed.notify_all();
        return frame;
    }
    void close() {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        changed.notify_all();
    }

private:
    static constexpr std::size_t kCapacity = 16;
    std::mutex mutex; // guards frames and closed
    std::condition_variable changed;
    std::deque<Bytes> frames;
    bool closed = false;
};

// The engine used as the program uses it: the GUI thread queues requests and empties the
// device model, the listener thread feeds answers (which add devices and chain requests),
// the sender thread drains the queue onto the line. Run under ThreadSanitizer too.
TEST(EngineThreads, GuiListenerAndSenderShareTheEngine) {
    LogCapture capture;
    RegistryHooks& hooks = RegistryHooks::install();
    PayloadHandler engine;
    hooks.onCurrentDevice = [&] {
        std::uint8_t address = engine.deviceHandler.currentAddress;
        engine.onMessage(MSG_FIELD_INFO, &address);
        engine.generateResponse(MSG_FIELD_INFO, nullptr);
    };

    constexpr int kFrames = 400;
    const std::uint8_t marker[] = {0xAA, 0x01, 0x09};
    const Bytes markerFrame = frameOf(Bytes(marker, marker + 3));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    FrameLine line;
    std::atomic<int> markersSeen{0};
    std::atomic<int> broken{0};

    std::thread sender([&] {
        while (markersSeen < kFrames && std::chrono::steady_clock::now() < deadline) {
            if (engine.getQueueSize() == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            const QueueItem item = engine.fetchToQueue();
            if (item.empty())
                continue;
            Bytes bytes(item.bytes(), item.bytes() + item.size);
            engine.freeFrontFromQueue();
            if (bytes.size() < 4 || bytes[0] != 0x7E || bytes[1] + 4u != bytes.size()) {
                ++broken;
                continue;
            }
            if (bytes == markerFrame)
                ++markersSeen;
            line.write(std::move(bytes));
        }
    });

    // The stand-in device answers each request it reads, by that request's own command and
    // pack number, as a real device does: a search from an ever new address, a field
    // description by the field index asked for. Other frames (the markers) get no answer.
    std::thread standIn([&] {
        std::uint8_t address = 1;
        while (const std::optional<Bytes> frame = line.read()) {
            const Bytes request(frame->begin() + 2, frame->end() - 1); // pack, address, command, ...
            if (request.size() < 3 || referenceCrc8(request) != frame->back()) {
                ++broken;
                continue;
            }
            Bytes payload;
            if (request[2] == DEVICE_INFO_REQ) {
                payload = deviceRecord(request[0], address, 1, 0, 3, "dev");
                address = static_cast<std::uint8_t>(address % 200 + 1);
            } else if (request[2] == FIELD_INFO_REQ && request.size() == 4) {
                payload = fieldRecord(request[0], request[1], 8, request[3] == 1 ? "erase" : "mode");
            } else {
                continue;
            }
            const Bytes answerFrame = frameOf(payload);
            engine.update(answerFrame.data(), answerFrame.size());
        }
    });

    for (int i = 0; i < kFrames; ++i) {
        // A GUI thread does not queue hundreds of searches at once: let the sender keep up.
        while (engine.getQueueSize() > 8 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        engine.castCommand(marker, 3, 500);
        engine.onMessage(MSG_SEARCH_DEVICES, nullptr);
        engine.generateResponse(MSG_SEARCH_DEVICES, nullptr);
        if (i % 10 == 0)
            engine.deviceHandler.clearDeviceList();
        {
            std::lock_guard<std::recursive_mutex> lock(engine.deviceHandler.getMutex());
            for (const auto& entry : *engine.deviceHandler.getDeviceList())
                EXPECT_EQ(entry.second->getDeviceName(), "dev");
        }
        // As the erase wait does on each tick: the device's own operations take the lock.
        if (App::Device* device = engine.deviceHandler.getDevice(engine.deviceHandler.currentAddress)) {
            if (Field* erase = device->getFieldByName("erase")) {
                EXPECT_EQ(erase->getIndex(), 1);
            }
        }
    }
    sender.join();
    line.close();
    standIn.join();
    EXPECT_EQ(markersSeen, kFrames);
    EXPECT_EQ(broken, 0);
}

} // namespace
