#pragma once

#include "core/BaseLogger.h"
#include "core/GlobalHandlerEvents.h"
#include "core/Thread.h"
#include "link/LinkTypes.h"
#include "link/MessageType.h"
#include "link/QueueWakeup.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

namespace PayloadProtocol {

// Writes the frames that the protocol engine has queued to the link, one at a time and in
// queue order, and is the front through which the main window asks for its three most common
// requests. It never waits for an answer: a written frame leaves the queue at once. A frame
// whose write fails is tried again on the following turns, six writes in all, then dropped.
// SET_LISTENER_TIMEOUT fires once for each frame taken from the queue, never for a retry, so
// the listener reads with that frame's reply timeout.
//
// Engine requirements: getQueueSize, fetchToQueue (a copy of the front item with `data`,
// `size`, `timeoutMs`), freeFrontFromQueue, onMessage, generateResponse, getMutex (the
// engine's recursive mutex, which its queue operations take as well) and getQueueWakeup
// (notified whenever a frame is queued).
//
// BufferSize and Crc are not used: frames come from the engine framed and checksummed.
template <std::size_t BufferSize, typename Link, typename Engine, typename Crc>
class SerialSender : public Thread {
public:
    using LinkType = std::remove_reference_t<Link>;

    SerialSender(Engine& engine, LinkType& link)
        : Thread("SerialSender: "), payloadHandler(&engine), usbCommunication(&link),
          wakeup(&engine.getQueueWakeup()) {
        frame.reserve(512);
    }

    ~SerialSender() override {
        logger->log("run() is STOP", BaseLogger::DEBUG, name);
        // The loop uses this object's members: end it before they go.
        terminate();
    }

    void search() {
        logger->log("device info request. Search device...", BaseLogger::INFO, name);
        payloadHandler->onMessage(MSG_SEARCH_DEVICES, nullptr);
        payloadHandler->generateResponse(MSG_SEARCH_DEVICES, nullptr);
    }

    void getInfoFields(std::uint8_t address, std::uint8_t /*unused*/ = 0) {
        logger->log("fields info request. Get fields...", BaseLogger::INFO, name);
        payloadHandler->onMessage(MSG_FIELD_INFO, &address);
        payloadHandler->generateResponse(MSG_FIELD_INFO, nullptr);
    }

    void setFieldValue(std::uint8_t address, std::uint8_t index) {
        logger->log("set value for field " + std::to_string(index), BaseLogger::INFO, name);
        std::uint8_t record[2] = {address, index};
        payloadHandler->onMessage(MSG_SET_FIELD, record);
        payloadHandler->generateResponse(MSG_SET_FIELD, nullptr);
    }

protected:
    void run() override {
        static const std::string kStart = " run() is START";
        static const std::string kTaken = "Get message from queue!";
        logger->log(kStart, BaseLogger::DEBUG, name);
        while (running) {
            bool idle = false;
            if (!inHand) {
                if (take()) {
                    logger->log(kTaken, BaseLogger::INFO, name);
                    // Fired without the engine's lock: the listener's handler takes it itself.
                    GlobalHandlerEvents::getInstance()._executeHandler(SET_LISTENER_TIMEOUT);
                    if (transmit())
                        continue; // the next frame may already wait
                } else {
                    idle = true;
                }
            } else {
                transmit();
            }
            // A retry waits one turn; an empty queue waits for the engine's notification, and
            // looks again after kIdleWait so that terminate() returns within that time.
            wakeup->waitFor(idle ? kIdleWait : kTurn);
        }
        inHand = false;
        held = {};
    }

private:
    template <typename P> static const std::uint8_t* rawBytes(const P& p) {
        if constexpr (std::is_pointer_v<P>)
            return p;
        else
            return p.get();
    }

    // Takes a copy of the front item, if any, and of its bytes: the bytes written are the
    // sender's own, whatever another thread does to the queue meanwhile.
    bool take() {
        {
            std::lock_guard<std::recursive_mutex> lock(payloadHandler->getMutex());
            if (payloadHandler->getQueueSize() == 0)
                return false;
            held = payloadHandler->fetchToQueue();
        }
        inHand = true;
        retries = 0;
        frame.clear();
        heldHasData = rawBytes(held.data) != nullptr;
        if (heldHasData)
            frame.assign(rawBytes(held.data), rawBytes(held.data) + held.size);
        return true;
    }

    // Removes the frame in hand from the queue, unless it has left it already (the queue was
    // cleared meanwhile): the front is then another frame, not yet sent.
    void release() {
        {
            std::lock_guard<std::recursive_mutex> lock(payloadHandler->getMutex());
            if (payloadHandler->getQueueSize() > 0 &&
                rawBytes(payloadHandler->fetchToQueue().data) == rawBytes(held.data))
                payloadHandler->freeFrontFromQueue();
        }
        held = {};
        inHand = false;
        retries = 0;
    }

    // One write of the frame in hand; true when it was written.
    bool transmit() {
        static const std::string kSuccess = "Response transmit success";
        static const std::string kRetry = "Response transmit not success. Try again!";
        static const std::string kDropped = "Response count exceeded";
        bool written = false;
        if (heldHasData)
            written = frame.empty() || usbCommunication->write(frame.data(), frame.size()) == LINK_OK;
        if (written) {
            release();
            logger->log(kSuccess, BaseLogger::INFO, name);
            return true;
        }
        logger->log(kRetry, BaseLogger::WARNING, name);
        if (++retries > 5) {
            release();
            logger->log(kDropped, BaseLogger::ERROR, name);
        }
        return false;
    }

    static constexpr std::chrono::milliseconds kTurn{1};
    static constexpr std::chrono::milliseconds kIdleWait{100};

    std::uint64_t retries = 0;
    Engine* payloadHandler;
    LinkType* usbCommunication;
    QueueWakeup* wakeup; // the engine's

    // Sender thread only: the frame in hand and the copy of its bytes that is written.
    bool inHand = false;
    bool heldHasData = false;
    decltype(std::declval<Engine&>().fetchToQueue()) held{};
    std::vector<std::uint8_t> frame;
};

} // namespace PayloadProtocol
