#pragma once

#include "core/BaseLogger.h"
#include "core/WholeFile.h"
#include "link/AbstractProtocolHandler.h"
#include "link/DeviceHandler.h"
#include "link/FileRequest.h"
#include "link/FileTransfer.h"
#include "link/MessageType.h"
#include "link/PayloadAnswer.h"
#include "link/PayloadCommand.h"
#include "link/PayloadParser.h"
#include "link/QueueWakeup.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class LoggerManager;

// The payload protocol engine: records what callers want as pending requests, frames them
// with the next pack number into the outgoing queue, reads answers from received bytes,
// matches them to the last request and acts on them (device model, request chains, the
// stop-and-wait firmware file transfer, whose steps a FileTransfer decides). It does no I/O:
// the sender drains the queue, the listener feeds update().
//
// Locking: the engine and its device model share the model's recursive mutex
// (deviceHandler.getMutex()). Every public operation takes it, so the GUI, listener and
// sender threads may call any of them; it is held while an answer is processed, including
// the registry handlers that processing fires (which may call back into the engine on the
// same thread). Parsing itself runs on the listener thread alone, without the lock.
class PayloadHandler : public virtual AbstractProtocolHandler {
public:
    struct MessageDescriptor {
        std::uint8_t address = 0; // 0xFF for all devices
        std::uint8_t index = 0;   // field index, file number or 0
    };

    using ParserState = PayloadParser::ParserState;

    PayloadHandler();
    ~PayloadHandler() override;
    PayloadHandler(const PayloadHandler&) = delete;
    PayloadHandler& operator=(const PayloadHandler&) = delete;

    // Queue (the sender's side).
    std::uint8_t getType() override;
    std::uint64_t getQueueSize() override;
    void addToQueue(void const* data, unsigned long long size, unsigned int timeoutMs) override;
    QueueItem fetchToQueue() override;
    void freeFrontFromQueue() override;
    void clearQueue(bool force) override;
    void logMessage(std::string& message) override;

    // Frames a payload of 3 to 255 bytes and queues it with its reply timeout; a payload
    // outside that range is refused with an ERROR line and nothing is queued.
    void castCommand(void const* payload, unsigned char length, unsigned int timeoutMs);
    // Feeds received bytes to the frame reader; returns how many answers were processed.
    std::uint64_t update(void const* data, unsigned long long count);
    // Handles one answer payload (called by update for every frame with a good CRC).
    void process(void const* payload, unsigned long long length);

    // Records a request (argument per MessageType; see the .cpp) ...
    void onMessage(MessageType type, void* argument);
    void enqueueMessage(MessageType type, unsigned char address, unsigned char index, std::string path);
    // The lines with which the engine refuses a file that it cannot load, by how its read
    // ended: two ERRORs for a file that cannot be opened, sized or read ("Can't open file."
    // and "Can't open file: <path>", ...); none for one that was read or is only too large.
    static std::vector<std::string> unreadableFileLines(WholeFile::Status status, const std::string& path);
    // Logs those lines, as a file write of that file would: for a caller that read the file
    // itself before asking for the write.
    void reportUnreadableFile(WholeFile::Status status, const std::string& path);
    // A file write of bytes in hand (MSG_FILE_WRITE without reading a file).
    void enqueueFile(unsigned char address, unsigned char index, std::vector<std::uint8_t> bytes);
    // ... and frames the pending request of that type; the pointer is not used.
    void generateResponse(MessageType type, void* ignored);

    void sendDeviceInfoRequest();
    void sendFieldInfoRequest(unsigned char address, unsigned char index);
    void sendSetFieldRequest(unsigned char address, unsigned char index);
    void sendGetFieldRequest(unsigned char address, unsigned char index);
    void sendDfuRequest();
    void sendFileWriteReq();

    // Empties the queue and the pending requests, resets the counters and drops the file
    // transfer; the frame reader and the device model keep their state.
    void resetState();
    // Gives up the pending request of `type` (a file write also ends its transfer, keeping
    // its percentage): a late answer to it is then unexpected and sets nothing off.
    void abandon(MessageType type);

    // The request framed last: its kind, its number among the frames made so far (a new number
    // is a new request, also of the same kind) and the reply time it was sent with. Callers that
    // run a job on the engine time its answer with it.
    struct FramedRequest {
        MessageType type = MSG_NONE;
        std::uint64_t sequence = 0; // 0: none framed yet
        unsigned int replyMs = 0;
    };
    FramedRequest lastFramed();
    // The status of the last answer with an error to a request of `type` since
    // forgetRefusals() (or resetState); 0 when there was none.
    std::uint8_t refusal(MessageType type);
    void forgetRefusals();

    // Where the running file transfer stands (all false and 0 when none runs).
    using TransferView = FileTransfer::View;
    TransferView transferView();
    // Transfers that the device confirmed to the end, since construction.
    std::uint64_t completedTransfers();

    // The listener's read timeout before it has taken any frame.
    static unsigned int getDefaultTimeout() { return 500; }

    // The completion line of a transfer of `size` bytes that took `elapsedMs`.
    static std::string transferCompleteLine(std::uint32_t size, long long elapsedMs);

    // Inspection, mostly for tests and the main window.
    MessageType getCurrentRequest();
    std::uint8_t getLastCommand() const { return lastCommand.load(); }
    std::uint8_t getPackNumber();
    bool isPending(MessageType type);
    bool getPending(MessageType type, MessageDescriptor& out);
    bool isTransferActive();
    ParserState getParserState() const { return parser.getState(); }
    std::recursive_mutex& getMutex() { return deviceHandler.getMutex(); }
    // Notified whenever a frame is queued; the sender waits on it between its looks.
    PayloadProtocol::QueueWakeup& getQueueWakeup() { return queueWakeup; }

    // Percentage of the running file transfer (100 only once the device confirmed the end).
    std::atomic<std::uint8_t> transferPercent{0};
    // The device model; guarded by getMutex().
    DeviceHandler deviceHandler;

private:
    bool wants(BaseLogger::MessageType type) const;
    void log(const std::string& text, BaseLogger::MessageType type);
    bool loadFile(const std::string& path, std::vector<std::uint8_t>& out);
    void recordRequest(MessageType type, unsigned char address, unsigned char index, bool loaded,
                       std::vector<std::uint8_t> data);
    void chainNext(MessageType type, std::uint8_t address, std::uint8_t deviceAddress, std::uint8_t index);
    void completeTransfer(std::uint32_t size, std::chrono::steady_clock::time_point startedAt);

    // What an answer that matched its request sets off, one member per kind of answer (the
    // request's address and index in the descriptor, the answering device's own address apart).
    void onDeviceInfo(const DeviceInfo& info);
    void onFieldInfo(std::uint8_t deviceAddress, MessageDescriptor field, FieldInfo info);
    void onFieldValue(std::uint8_t deviceAddress, MessageDescriptor field,
                      const PayloadAnswer::FieldValue& value);
    void onFieldSet(MessageDescriptor field);
    void onFileInfo(MessageDescriptor file, const PayloadAnswer::FileInfo& info);
    void onFileWritten(MessageDescriptor file);
    std::string packText() const;
    std::string attemptText() const;

    LoggerManager* logger;
    // Printed in the file and field-value request lines, which people and scripts match whole.
    // The engine never re-sends (a request asked for again is framed anew with the next pack
    // number), so nothing raises it.
    std::uint8_t attempt = 0;
    PayloadProtocol::QueueWakeup queueWakeup;
    PayloadParser parser;
    MessageType currentRequest = MSG_NONE;
    std::atomic<std::uint8_t> lastCommand{0};
    std::uint8_t packNumber = 0;
    std::uint8_t handlerType = 0;
    std::map<MessageType, MessageDescriptor> pending;
    FramedRequest framed;
    std::map<MessageType, std::uint8_t> refusals;
    std::uint64_t completed = 0;
    // The one file transfer; the engine frames its requests and acts on their answers.
    FileTransfer transfer;
};
