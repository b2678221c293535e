// Arbitrary bytes through the frame reader and the answer processing, with a request of
// every kind pending. Also frames fuzzer-chosen answers itself (with a good CRC and, when
// asked, the pack number the engine waits for) so the answer layouts are reached often.
#include "core/GlobalHandlerEvents.h"
#include "core/LoggerManager.h"
#include "link/PayloadFrame.h"
#include "link/PayloadHandler.h"
#include "link/PayloadParser.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

PayloadHandler* current = nullptr;
std::string imagePath;

void setUpOnce() {
    static bool done = false;
    if (done)
        return;
    done = true;
    LoggerManager::getInstance().clearAllLoggers();
    char path[] = "/tmp/tavisk-engine-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    close(fd);
    imagePath = path;
    std::ofstream(imagePath, std::ios::binary) << std::string(100, '\x5A');
    std::atexit([] { unlink(imagePath.c_str()); });

    GlobalHandlerEvents::addHandler(SET_CURRENT_DEVICE_ADDR, [] {
        std::uint8_t address = current->deviceHandler.currentAddress;
        current->onMessage(MSG_FIELD_INFO, &address);
        current->generateResponse(MSG_FIELD_INFO, nullptr);
        return GlobalHandlerEvents::SUCCESS;
    });
    GlobalHandlerEvents::addHandler(UPDATE_LOADING_STATUS, [] {
        if (current->transferPercent > 100)
            std::abort();
        return GlobalHandlerEvents::SUCCESS;
    });
    GlobalHandlerEvents::addHandlerWithArgs<LoadStage>(
        UPLOAD_FIRMWARE, GlobalHandlerEvents::HandlerWithArgs<LoadStage>([](LoadStage) {
            FileRequest request{current->deviceHandler.currentAddress, 0, imagePath, nullptr};
            current->onMessage(MSG_FIRMWARE_WRITE, &request);
            current->generateResponse(MSG_FILE_WRITE, nullptr);
            return GlobalHandlerEvents::SUCCESS;
        }));
}

// Every queued frame must be one well-formed frame (the DFU sequence is the one unframed item).
void checkQueue(PayloadHandler& engine) {
    while (engine.getQueueSize() > 0) {
        const QueueItem item = engine.fetchToQueue();
        engine.freeFrontFromQueue();
        if (item.size == 30 && item.bytes()[0] != PayloadFrame::kStart)
            continue;
        std::uint64_t frames = 0;
        PayloadParser parser([&](const std::uint8_t*, std::size_t n) {
            if (n + PayloadFrame::kOverhead != item.size)
                std::abort();
            ++frames;
        });
        parser.update(item.bytes(), item.size);
        if (frames != 1)
            std::abort();
    }
}

void addDevice(PayloadHandler& engine, std::uint8_t address, std::uint8_t fieldCount) {
    DeviceInfo info;
    info.address = address;
    info.fieldCount = fieldCount;
    engine.deviceHandler.addDevice(info);
    const char* names[] = {"erase", "mode", ""};
    for (std::uint8_t i = 0; i < 3; ++i) {
        FieldInfo field;
        field.type = static_cast<std::uint8_t>(i * 5);
        field.nameLength = static_cast<std::uint8_t>(std::strlen(names[i]));
        std::memcpy(field.name, names[i], field.nameLength);
        engine.deviceHandler.addDeviceField(address, i, field);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setUpOnce();
    if (size < 2)
        return 0;
    PayloadHandler engine;
    current = &engine;
    addDevice(engine, 5, data[1]);
    checkQueue(engine);

    // Record a request of every kind; the one framed last is the fuzzer's choice.
    std::uint8_t address = 5;
    std::uint8_t field[] = {5, 0};
    std::uint8_t other[] = {5, 1};
    FileRequest file{5, 0, imagePath, nullptr};
    const MessageType order[] = {MSG_SEARCH_DEVICES, MSG_FIELD_INFO, MSG_SET_FIELD, MSG_GET_FIELD,
                                 MSG_FILE_WRITE,     MSG_DFU,        MSG_FILE_INFO, MSG_FILE_READ};
    void* arguments[] = {nullptr, &address, field, other, &file, &address, &address, &file};
    constexpr unsigned kinds = sizeof order / sizeof order[0];
    const unsigned last = data[0] % kinds;
    for (unsigned i = 0; i < kinds; ++i) {
        const unsigned k = (last + 1 + i) % kinds;
        engine.onMessage(order[k], arguments[k]);
        engine.generateResponse(order[k], nullptr);
    }
    checkQueue(engine);

    const bool frameThemHere = (data[0] & 0x80) != 0;
    std::size_t at = 2;
    while (at < size) {
        std::size_t n = 1 + data[at] % 64;
        ++at;
        if (n > size - at)
            n = size - at;
        if (frameThemHere && n >= 1) {
            std::uint8_t payload[PayloadFrame::kMaxPayload];
            std::memcpy(payload, data + at, n);
            if ((payload[0] & 0x01) != 0 && n >= 1)
                payload[0] = engine.getPackNumber();
            std::uint8_t frame[PayloadFrame::kMaxFrame];
            const std::size_t framed = PayloadFrame::build(payload, n, frame);
            engine.update(frame, framed);
        } else {
            engine.update(data + at, n);
        }
        at += n;
        checkQueue(engine);
        if (engine.transferPercent > 100)
            std::abort();
    }
    current = nullptr;
    return 0;
}
