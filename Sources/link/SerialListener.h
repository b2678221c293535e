#pragma once

#include "core/BaseLogger.h"
#include "core/GlobalHandlerEvents.h"
#include "core/Thread.h"
#include "link/LinkTypes.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>

namespace PayloadProtocol {

// Reads what the link delivers and feeds it to the engine's frame reader; everything an
// answer sets off (device model, request chains, the file transfer, registry handlers) runs
// on this thread inside the engine's update(). Each read waits as long as the reply timeout
// of the frame that the sender took last (SET_LISTENER_TIMEOUT, registered by the
// constructor); "Listener timeout waiting for response" is logged when that passes silently.
// When the link reports that no method is usable (LINK_UNAVAILABLE), the listener ends its
// own thread; the next start() runs it again.
//
// The wait is made of short reads, so that terminate() returns within one slice even while a
// 20000 ms reply timeout runs; a frame taken meanwhile restarts the wait with its timeout.
//
// Engine requirements: update, getQueueSize, fetchToQueue, getMutex, getDefaultTimeout.
template <typename Link, typename Engine> class SerialListener : public Thread {
public:
    using LinkType = std::remove_reference_t<Link>;

    SerialListener(LinkType& link, Engine& engine)
        : Thread("SerialListener: "), timeoutMs(Engine::getDefaultTimeout()), payloadHandler(&engine),
          usbCommunication(&link), target(sharedTarget()) {
        buffer.fill(0);
        {
            std::lock_guard<std::mutex> lock(target->mutex);
            if (!target->listener)
                target->listener = this;
        }
        // The registry keeps the first handler of the key for the rest of the process, so
        // the handler reaches its listener only through `target`: the listener that holds it
        // releases it when it is destroyed, and a listener built later takes it over.
        std::shared_ptr<Target> cell = target;
        GlobalHandlerEvents::addHandler(SET_LISTENER_TIMEOUT, [cell] {
            std::lock_guard<std::mutex> lock(cell->mutex);
            if (cell->listener)
                cell->listener->takeTimeoutFromQueue();
            return GlobalHandlerEvents::SUCCESS;
        });
    }

    ~SerialListener() override {
        logger->log(" run() is STOP", BaseLogger::DEBUG, name);
        {
            std::lock_guard<std::mutex> lock(target->mutex);
            if (target->listener == this)
                target->listener = nullptr;
        }
        terminate();
    }

    // A start that comes while the loop is about to end itself after a failed read must not
    // be lost, so both are serialised here and the loop ends only if no start came since that
    // read began.
    void start(bool detach) override {
        std::lock_guard<std::mutex> lock(startMutex);
        ++starts;
        Thread::start(detach);
    }

    // The reply timeout that reads wait with now.
    std::uint64_t currentTimeout() const { return timeoutMs.load(); }

protected:
    void run() override {
        static const std::string kStart = " run() is START";
        static const std::string kTimeout = "Listener timeout waiting for response";
        static const std::string kGot = "Request was get";
        logger->log(kStart, BaseLogger::DEBUG, name);
        buffer.fill(0);
        while (running) {
            if (!active) {
                // Stopped (the session's maintenance stop): idle without spinning until started
                // again.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            std::unique_lock<std::mutex> lock(mutex);
            const std::uint64_t startsBefore = starts.load();
            usbCommunication->waitForReadyRead(1);
            const IoResult r = readForReply();
            if (r.status == LINK_UNAVAILABLE) {
                std::lock_guard<std::mutex> guard(startMutex);
                if (starts.load() == startsBefore) {
                    terminate();
                    return;
                }
                continue; // started again meanwhile (after a reconnect): read on
            }
            if (r.count == 0) {
                if (r.status == LINK_NO_DATA && running)
                    logger->log(kTimeout, BaseLogger::WARNING, name);
                continue;
            }
            logger->log(kGot, BaseLogger::INFO, name);
            payloadHandler->update(buffer.data(), r.count);
            buffer.fill(0);
        }
    }

private:
    struct Target {
        // Guards `listener`: the sender thread runs the handler while a listener may be built
        // or destroyed.
        std::mutex mutex;
        SerialListener* listener = nullptr;
    };

    static std::shared_ptr<Target> sharedTarget() {
        static const std::shared_ptr<Target> cell = std::make_shared<Target>();
        return cell;
    }

    // SET_LISTENER_TIMEOUT, on the sender's thread: the front frame is the one being sent.
    void takeTimeoutFromQueue() {
        std::lock_guard<std::recursive_mutex> lock(payloadHandler->getMutex());
        if (payloadHandler->getQueueSize() == 0)
            return;
        currentItem = payloadHandler->fetchToQueue();
        timeoutMs = currentItem.timeoutMs;
        ++timeoutGeneration;
    }

    // Waits up to the reply timeout for bytes, in slices; returns early when the worker is
    // being ended (with no bytes and LINK_NO_DATA, which the loop then does not log).
    IoResult readForReply() {
        using Clock = std::chrono::steady_clock;
        std::uint64_t generation = timeoutGeneration.load();
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs.load());
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const int slice = static_cast<int>(std::clamp<long long>(left.count(), 0, kSliceMs));
            const IoResult r = usbCommunication->read(buffer.data(), buffer.size(), slice);
            if (r.status != LINK_NO_DATA || r.count > 0 || !running)
                return r;
            if (timeoutGeneration.load() != generation) {
                generation = timeoutGeneration.load();
                deadline = Clock::now() + std::chrono::milliseconds(timeoutMs.load());
                continue;
            }
            if (Clock::now() >= deadline)
                return r;
        }
    }

    static constexpr long long kSliceMs = 50;

    std::array<std::uint8_t, 256> buffer{};
    // Sender thread only (the handler), under the engine's lock.
    decltype(std::declval<Engine&>().fetchToQueue()) currentItem{};
    std::atomic<std::uint64_t> timeoutMs;
    // Counts frames taken, so that a wait in progress restarts with the new frame's timeout.
    std::atomic<std::uint64_t> timeoutGeneration{0};
    // Held by the worker around each wait, read and parse.
    std::mutex mutex;
    // Serialises start() with the loop ending itself; `starts` counts the calls of start().
    std::mutex startMutex;
    std::atomic<std::uint64_t> starts{0};
    Engine* payloadHandler;
    LinkType* usbCommunication;
    std::shared_ptr<Target> target;
};

} // namespace PayloadProtocol
