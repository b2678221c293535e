#include "EngineTestSupport.h"
#include "LogCapture.h"
#include "PayloadHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using namespace tavisk::test;

namespace {

// The engine used as the program uses it: the GUI thread queues requests and empties the
// device model, the listener thread feeds answers (which add devices and chain requests),
// the sender thread drains the queue. Run under ThreadSanitizer too.
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
    std::atomic<bool> stop{false};
    std::atomic<int> markersSeen{0};
    std::atomic<int> broken{0};

    std::thread sender([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (markersSeen < kFrames && std::chrono::steady_clock::now() < deadline) {
            if (engine.getQueueSize() == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            const QueueItem item = engine.fetchToQueue();
            if (item.empty())
                continue;
            const Bytes bytes(item.bytes(), item.bytes() + item.size);
            engine.freeFrontFromQueue();
            if (bytes.size() < 4 || bytes[0] != 0x7E || bytes[1] + 4u != bytes.size())
                ++broken;
            if (bytes == markerFrame)
                ++markersSeen;
        }
    });

    std::thread listener([&] {
        std::uint8_t address = 1;
        while (!stop) {
            // Field descriptions while they are asked for, else answers to the search in
            // flight from ever new addresses.
            PayloadHandler::MessageDescriptor asked;
            Bytes payload;
            if (engine.getCurrentRequest() == MSG_FIELD_INFO && engine.getPending(MSG_FIELD_INFO, asked)) {
                payload = fieldRecord(engine.getPackNumber(), asked.address, 8,
                                      asked.index == 1 ? "erase" : "mode");
            } else {
                payload = deviceRecord(engine.getPackNumber(), address, 1, 0, 3, "dev");
                address = static_cast<std::uint8_t>(address % 200 + 1);
            }
            const Bytes frame = frameOf(payload);
            engine.update(frame.data(), frame.size());
            std::this_thread::yield();
        }
    });

    for (int i = 0; i < kFrames; ++i) {
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
    stop = true;
    listener.join();
    EXPECT_EQ(markersSeen, kFrames);
    EXPECT_EQ(broken, 0);
}

} // namespace
