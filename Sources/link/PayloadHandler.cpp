#include "link/PayloadHandler.h"

#include "core/GlobalHandlerEvents.h"
#include "core/LoggerManager.h"
#include "core/WholeFile.h"
#include "link/PayloadAnswer.h"
#include "link/PayloadFrame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

const std::string kPrefix = "PayloadHandler: ";

constexpr unsigned int kSearchTimeoutMs = 3000;
constexpr unsigned int kFieldTimeoutMs = 500;
constexpr unsigned int kGetFieldTimeoutMs = 100;
// A set-field request to a field whose name begins with "erase": the device erases before it answers.
constexpr unsigned int kEraseFieldWriteTimeoutMs = 20000;
constexpr unsigned int kDfuTimeoutMs = 500;

// The device's firmware-update-mode request, sent unframed.
constexpr char kDfuEntryHead[14] = {'T', 'a', 'v', 'i', 's', 'k', 'E', 'n', 't', 'e', 'r', 'D', 'F', 'U'};
constexpr char kDfuEntryTail[16] = {'B', 'o', 'o', 't', 'l', 'o', 'a',  'd',
                                    'e', 'r', 'M', 'o', 'd', 'e', '\r', '\n'};

// A file too large for the transfer's 32-bit sizes.
std::string tooLargeText(std::uint64_t size) {
    return "Can't send file of " + std::to_string(size) + " bytes (at most " +
           std::to_string(FileTransfer::kMaxSize) + ")";
}

// The command that generateResponse frames for a request type; 0 when it frames none.
std::uint8_t commandFor(MessageType type) {
    switch (type) {
    case MSG_SEARCH_DEVICES:
        return DEVICE_INFO_REQ;
    case MSG_FIELD_INFO:
        return FIELD_INFO_REQ;
    case MSG_SET_FIELD:
        return SET_FIELD_REQ;
    case MSG_GET_FIELD:
        return GET_FIELD_REQ;
    case MSG_FILE_INFO:
        return FILE_INFO_REQ;
    case MSG_FILE_WRITE:
        return FILE_WRITE_REQ;
    case MSG_FILE_READ:
        return FILE_READ_REQ;
    default:
        return 0;
    }
}

std::string text(std::uint32_t number) {
    return std::to_string(number);
}

// A name of `length` bytes up to its first NUL; the fallback only when the length is 0.
std::string nameOf(const char* name, std::size_t length, const char* fallback) {
    return length == 0 ? std::string(fallback) : std::string(name, strnlen(name, length));
}

} // namespace

PayloadHandler::PayloadHandler()
    : logger(&LoggerManager::getInstance()),
      parser([this](const std::uint8_t* payload, std::size_t length) { process(payload, length); }) {}

PayloadHandler::~PayloadHandler() = default;

bool PayloadHandler::wants(BaseLogger::MessageType type) const {
    return LoggerManager::passes(logger->getGlobalLevel(), type);
}

void PayloadHandler::log(const std::string& line, BaseLogger::MessageType type) {
    logger->log(line, type, kPrefix);
}

// --- queue -------------------------------------------------------------------------------

std::uint8_t PayloadHandler::getType() {
    return handlerType;
}

std::uint64_t PayloadHandler::getQueueSize() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    return queue.size();
}

void PayloadHandler::addToQueue(void const* data, unsigned long long size, unsigned int timeoutMs) {
    if (size == 0)
        return;
    std::shared_ptr<std::uint8_t[]> bytes(new std::uint8_t[size]);
    std::memcpy(bytes.get(), data, size);
    {
        std::lock_guard<std::recursive_mutex> lock(getMutex());
        queue.push_back(QueueItem{std::move(bytes), size, timeoutMs});
    }
    queueWakeup.notify();
}

QueueItem PayloadHandler::fetchToQueue() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    return queue.empty() ? QueueItem{} : queue.front();
}

void PayloadHandler::freeFrontFromQueue() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    if (!queue.empty())
        queue.pop_front();
}

void PayloadHandler::clearQueue(bool force) {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    if (force || queue.size() >= 26)
        queue.clear();
}

void PayloadHandler::logMessage(std::string&) {}

// --- framing -----------------------------------------------------------------------------

void PayloadHandler::castCommand(void const* payload, unsigned char length, unsigned int timeoutMs) {
    std::uint8_t frame[PayloadFrame::kMaxFrame];
    const std::size_t size = PayloadFrame::build(payload, length, frame);
    if (size == 0) {
        log("payload of " + text(length) + " bytes cannot be framed (at least 3 bytes): nothing sent",
            BaseLogger::ERROR);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    lastCommand = static_cast<const std::uint8_t*>(payload)[2];
    framed = FramedRequest{currentRequest, framed.sequence + 1, timeoutMs};
    addToQueue(frame, size, timeoutMs);
}

std::uint64_t PayloadHandler::update(void const* data, unsigned long long count) {
    return parser.update(data, count);
}

// --- requests ----------------------------------------------------------------------------

void PayloadHandler::onMessage(MessageType type, void* argument) {
    if (argument == nullptr && type != MSG_SEARCH_DEVICES)
        return;
    const auto* bytes = static_cast<const std::uint8_t*>(argument);
    switch (type) {
    case MSG_SEARCH_DEVICES:
        enqueueMessage(MSG_SEARCH_DEVICES, 0xFF, 0, {});
        break;
    case MSG_ALL_FIELDS: {
        std::lock_guard<std::recursive_mutex> lock(getMutex());
        enqueueMessage(MSG_FILE_INFO, bytes[0], 0, {});
        enqueueMessage(MSG_FIELD_INFO, bytes[0], 0, {});
        break;
    }
    case MSG_FIELD_INFO:
    case MSG_FILE_INFO:
    case MSG_DFU:
        enqueueMessage(type, bytes[0], 0, {});
        break;
    case MSG_SET_FIELD:
    case MSG_GET_FIELD:
        enqueueMessage(type, bytes[0], bytes[1], {});
        break;
    case MSG_FILE_WRITE:
    case MSG_FIRMWARE_WRITE:
    case MSG_FILE_READ: {
        const auto* request = static_cast<const FileRequest*>(argument);
        if (type != MSG_FILE_READ && request->image)
            enqueueFile(request->address, request->index, *request->image);
        else
            enqueueMessage(type == MSG_FILE_READ ? MSG_FILE_READ : MSG_FILE_WRITE, request->address,
                           request->index, request->path);
        break;
    }
    default:
        break;
    }
}

void PayloadHandler::enqueueMessage(MessageType type, unsigned char address, unsigned char index,
                                    std::string path) {
    // The file is read before the lock is taken: the sender and the GUI go on meanwhile.
    std::vector<std::uint8_t> data;
    const bool loaded = type == MSG_FILE_WRITE && loadFile(path, data);
    recordRequest(type, address, index, loaded, std::move(data));
}

void PayloadHandler::enqueueFile(unsigned char address, unsigned char index,
                                 std::vector<std::uint8_t> bytes) {
    if (bytes.size() > FileTransfer::kMaxSize) {
        log(tooLargeText(bytes.size()), BaseLogger::ERROR);
        recordRequest(MSG_FILE_WRITE, address, index, false, {});
        return;
    }
    if (wants(BaseLogger::INFO))
        log("File size in bytes: " + std::to_string(bytes.size()), BaseLogger::INFO);
    recordRequest(MSG_FILE_WRITE, address, index, true, std::move(bytes));
}

void PayloadHandler::recordRequest(MessageType type, unsigned char address, unsigned char index, bool loaded,
                                   std::vector<std::uint8_t> data) {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    auto it = pending.find(type);
    if (it != pending.end()) {
        if (type != MSG_FILE_WRITE) {
            // Re-aim the pending record: an unanswered request to one device must not
            // capture every later request of its kind. A repeated field-description request
            // names no field: for the same device it goes on where the chain stopped.
            log("Send queue is full!", BaseLogger::WARNING);
            const bool namesIndex = type == MSG_SET_FIELD || type == MSG_GET_FIELD || type == MSG_FILE_READ;
            if (namesIndex || it->second.address != address)
                it->second = MessageDescriptor{address, index};
            return;
        }
        // A stalled transfer never resumes in the middle: the new file starts over (and when
        // the new file cannot be read, nothing is sent at all).
        log("file transfer (device " + text(transfer.device()) + ", file " + text(transfer.file()) +
                ") is still waiting for the device: dropped" + (loaded ? ", starting over" : ""),
            BaseLogger::WARNING);
        pending.erase(it);
        transfer.stop();
    }

    if (type == MSG_FILE_WRITE &&
        (!loaded || !transfer.start(std::move(data), address, index, std::chrono::steady_clock::now())))
        return;
    pending[type] = MessageDescriptor{address, index};
}

bool PayloadHandler::loadFile(const std::string& path, std::vector<std::uint8_t>& out) {
    WholeFile file = readWholeFile(path, FileTransfer::kMaxSize);
    if (file.status != WholeFile::READ) {
        if (WholeFile::failedStep(file.status) == WholeFile::Step::LIMIT)
            log(tooLargeText(file.size) + ": " + path, BaseLogger::ERROR);
        else
            reportUnreadableFile(file.status, path);
        return false;
    }
    if (wants(BaseLogger::INFO))
        log("File size in bytes: " + std::to_string(file.size), BaseLogger::INFO);
    out.swap(file.bytes);
    return true;
}

std::vector<std::string> PayloadHandler::unreadableFileLines(WholeFile::Status status,
                                                             const std::string& path) {
    switch (WholeFile::failedStep(status)) {
    case WholeFile::Step::OPEN:
        return {"Can't open file.", "Can't open file: " + path};
    case WholeFile::Step::SIZE:
        return {"Can't get file size.", "Can't get file size: " + path};
    case WholeFile::Step::READ:
        return {"Can't read file.", "Can't read file: " + path};
    case WholeFile::Step::NONE: // read (an empty file is loaded too)
    case WholeFile::Step::LIMIT:
        break;
    }
    return {};
}

void PayloadHandler::reportUnreadableFile(WholeFile::Status status, const std::string& path) {
    for (const std::string& line : unreadableFileLines(status, path))
        log(line, BaseLogger::ERROR);
}

void PayloadHandler::generateResponse(MessageType type, void*) {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    auto it = pending.find(type);
    if (it == pending.end()) {
        currentRequest = MSG_NONE;
        return;
    }
    const MessageDescriptor record = it->second;
    // Every framing is a request of its own, with a pack number of its own: the engine never
    // re-sends, and a caller that asks again for a pending request gets a new frame.
    ++packNumber;
    currentRequest = type;
    switch (type) {
    case MSG_SEARCH_DEVICES:
        sendDeviceInfoRequest();
        break;
    case MSG_FIELD_INFO:
        sendFieldInfoRequest(record.address, record.index);
        break;
    case MSG_SET_FIELD:
        sendSetFieldRequest(record.address, record.index);
        break;
    case MSG_GET_FIELD:
        sendGetFieldRequest(record.address, record.index);
        break;
    case MSG_FILE_WRITE:
        sendFileWriteReq();
        break;
    case MSG_DFU:
        sendDfuRequest();
        break;
    default:
        break;
    }
}

void PayloadHandler::sendDeviceInfoRequest() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    const std::uint8_t payload[] = {packNumber, 0xFF, DEVICE_INFO_REQ};
    castCommand(payload, sizeof payload, kSearchTimeoutMs);
}

void PayloadHandler::sendFieldInfoRequest(unsigned char address, unsigned char index) {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    const std::uint8_t payload[] = {packNumber, address, FIELD_INFO_REQ, index};
    castCommand(payload, sizeof payload, kFieldTimeoutMs);
}

void PayloadHandler::sendSetFieldRequest(unsigned char address, unsigned char index) {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    const std::uint8_t pack = packNumber;
    App::Device* device = deviceHandler.getDevice(address);
    Field* field = device ? device->getField(index) : nullptr;
    if (field == nullptr) {
        log("field value set error - no field data! (device " + text(address) + ", field " + text(index) +
                "). Pack #" + text(pack),
            BaseLogger::ERROR);
        pending.erase(MSG_SET_FIELD);
        currentRequest = MSG_NONE;
        return;
    }
    const std::uint8_t size = field->getTypeSize();
    std::uint8_t payload[13] = {pack, address, SET_FIELD_REQ, index, field->getType()};
    std::memcpy(payload + 5, field->getData(), size);
    if (wants(BaseLogger::INFO))
        log("field value set request (device " + text(address) + ", field " + text(index) + ", type #" +
                text(field->getType()) + "). Pack #" + text(pack),
            BaseLogger::INFO);
    const bool erase = std::strncmp(field->getName(), "erase", 5) == 0;
    castCommand(payload, static_cast<unsigned char>(5 + size),
                erase ? kEraseFieldWriteTimeoutMs : kFieldTimeoutMs);
}

void PayloadHandler::sendGetFieldRequest(unsigned char address, unsigned char index) {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    const std::uint8_t pack = packNumber;
    pending[MSG_GET_FIELD] = MessageDescriptor{address, index};
    const std::uint8_t payload[] = {pack, address, GET_FIELD_REQ, index};
    if (wants(BaseLogger::INFO))
        log("field value request (device " + text(address) + ", field " + text(index) + "). Pack #" +
                text(pack) + attemptText(),
            BaseLogger::INFO);
    castCommand(payload, sizeof payload, kGetFieldTimeoutMs);
}

void PayloadHandler::sendDfuRequest() {
    std::uint8_t sequence[sizeof kDfuEntryHead + sizeof kDfuEntryTail];
    std::memcpy(sequence, kDfuEntryHead, sizeof kDfuEntryHead);
    std::memcpy(sequence + sizeof kDfuEntryHead, kDfuEntryTail, sizeof kDfuEntryTail);
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    addToQueue(sequence, sizeof sequence, kDfuTimeoutMs);
    pending.erase(MSG_DFU);
}

void PayloadHandler::resetState() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    clearQueue(true);
    pending.clear();
    lastCommand = 0;
    currentRequest = MSG_NONE;
    attempt = 0;
    transferPercent = 0;
    packNumber = 0;
    framed = FramedRequest{MSG_NONE, framed.sequence, 0};
    refusals.clear();
    transfer.stop();
}

void PayloadHandler::abandon(MessageType type) {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    pending.erase(type);
    if (currentRequest == type)
        currentRequest = MSG_NONE;
    if (type == MSG_FILE_WRITE)
        transfer.stop();
}

PayloadHandler::FramedRequest PayloadHandler::lastFramed() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    return framed;
}

std::uint8_t PayloadHandler::refusal(MessageType type) {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    const auto it = refusals.find(type);
    return it == refusals.end() ? 0 : it->second;
}

void PayloadHandler::forgetRefusals() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    refusals.clear();
}

PayloadHandler::TransferView PayloadHandler::transferView() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    return transfer.view();
}

std::uint64_t PayloadHandler::completedTransfers() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    return completed;
}

// --- file transfer -----------------------------------------------------------------------

void PayloadHandler::sendFileWriteReq() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    const std::uint8_t pack = packNumber;
    const std::optional<FileTransfer::Request> request = transfer.next();
    if (!request) {
        // Without a loaded file this would erase a file on device 0.
        log("file write request without a loaded file: nothing sent", BaseLogger::ERROR);
        pending.erase(MSG_FILE_WRITE);
        currentRequest = MSG_NONE;
        return;
    }
    const std::uint8_t device = transfer.device();
    const std::uint8_t file = transfer.file();
    std::uint8_t payload[8 + FileTransfer::kMaxChunk] = {pack, device, FILE_WRITE_REQ, file};
    for (int i = 0; i < 4; ++i)
        payload[4 + i] = static_cast<std::uint8_t>(request->offset >> (8 * i));
    std::memcpy(payload + 8, request->data.data(), request->length);

    if (wants(BaseLogger::INFO)) {
        std::string line;
        switch (request->kind) {
        case FileTransfer::Kind::ERASE:
            line = "erase file request (device " + text(device) + ", file " + text(file) + ")";
            break;
        case FileTransfer::Kind::CHUNK:
            line = "write file request (device " + text(device) + ", file " + text(file) + ", offset " +
                   text(request->offset) + ", chunk size " + text(request->length) + ")";
            break;
        case FileTransfer::Kind::CLOSE:
            line = "finish file request (device " + text(device) + ", file " + text(file) + ")";
            break;
        }
        log(line + ". Pack #" + text(pack) + attemptText(), BaseLogger::INFO);
    }
    castCommand(payload, static_cast<unsigned char>(8 + request->length), request->timeoutMs);

    transferPercent = request->percent;
    GlobalHandlerEvents::getInstance()._executeHandler(UPDATE_LOADING_STATUS);
}

std::string PayloadHandler::transferCompleteLine(std::uint32_t size, long long elapsedMs) {
    const double seconds = std::max(static_cast<double>(elapsedMs) / 1000.0, 0.001);
    const double rate = (static_cast<double>(size) / 1024.0) / seconds;
    char number[64];
    std::snprintf(number, sizeof number, "%f", rate);
    return "Firmware transfer complete: " + std::to_string(size) + " bytes in " + std::to_string(elapsedMs) +
           " ms (" + number + " KiB/s)";
}

void PayloadHandler::completeTransfer(std::uint32_t size, std::chrono::steady_clock::time_point startedAt) {
    transferPercent = 100;
    ++completed;
    if (size != 0) {
        const auto elapsed = std::chrono::steady_clock::now() - startedAt;
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
        log(transferCompleteLine(size, ms), BaseLogger::WARNING);
    }
    GlobalHandlerEvents::getInstance()._executeHandler(UPDATE_LOADING_STATUS);
}

// --- answers -----------------------------------------------------------------------------

MessageType PayloadHandler::getCurrentRequest() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    return currentRequest;
}

std::uint8_t PayloadHandler::getPackNumber() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    return packNumber;
}

bool PayloadHandler::isPending(MessageType type) {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    return pending.count(type) != 0;
}

bool PayloadHandler::getPending(MessageType type, MessageDescriptor& out) {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    auto it = pending.find(type);
    if (it == pending.end())
        return false;
    out = it->second;
    return true;
}

bool PayloadHandler::isTransferActive() {
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    return transfer.active();
}

void PayloadHandler::chainNext(MessageType type, std::uint8_t address, std::uint8_t deviceAddress,
                               std::uint8_t index) {
    App::Device* device = deviceHandler.getDevice(deviceAddress);
    // Compared in full width: a request for field 255 must not wrap round to field 0.
    if (device == nullptr || static_cast<unsigned>(device->getInfo()->fieldCount) <= index + 1U)
        return;
    pending[type] = MessageDescriptor{address, static_cast<std::uint8_t>(index + 1)};
    generateResponse(type, nullptr);
}

void PayloadHandler::process(void const* payload, unsigned long long length) {
    if (length < 3)
        return;
    std::lock_guard<std::recursive_mutex> lock(getMutex());
    const PayloadAnswer::Bytes answer{static_cast<const std::uint8_t*>(payload),
                                      static_cast<std::size_t>(length)};
    const PayloadAnswer::Header head = PayloadAnswer::header(answer);
    const std::uint8_t command = lastCommand;

    auto record = pending.find(currentRequest);
    // The last framed command must be the current request's own: otherwise the answer would
    // be read by the layout of an older request (say, as a file-write acknowledgement).
    if (record == pending.end() || head.pack != packNumber || commandFor(currentRequest) != command) {
        log("received unexpected message (device " + text(head.address) + ", message " + text(head.status) +
                ", pack #" + text(head.pack) + ")",
            BaseLogger::WARNING);
        return;
    }
    if (deviceHandler.getDevice(head.address) == nullptr && command != DEVICE_INFO_REQ) {
        log("unknown device address " + text(head.address) + ". Pack " + text(head.pack),
            BaseLogger::WARNING);
        return;
    }
    const MessageDescriptor matched = record->second;
    pending.erase(record);
    if (head.status != 0) {
        refusals[currentRequest] = head.status;
        log("Message with problem - error code: " + text(head.status), BaseLogger::WARNING);
        return;
    }

    switch (command) {
    case DEVICE_INFO_REQ:
        onDeviceInfo(PayloadAnswer::deviceInfo(answer));
        break;
    case FIELD_INFO_REQ:
        onFieldInfo(head.address, matched, PayloadAnswer::fieldInfo(answer));
        break;
    case GET_FIELD_REQ:
        onFieldValue(head.address, matched, PayloadAnswer::fieldValue(answer));
        break;
    case SET_FIELD_REQ:
        onFieldSet(matched);
        break;
    case FILE_INFO_REQ:
        onFileInfo(matched, PayloadAnswer::fileInfo(answer));
        break;
    case FILE_READ_REQ:
        log("Message type: FILE_READ_REQ", BaseLogger::DEBUG);
        break;
    case FILE_WRITE_REQ:
        onFileWritten(matched);
        break;
    default:
        break;
    }
}

std::string PayloadHandler::attemptText() const {
    return ", attempt #" + text(attempt);
}

std::string PayloadHandler::packText() const {
    return " Pack #" + text(packNumber);
}

void PayloadHandler::onDeviceInfo(const DeviceInfo& info) {
    log("Message type: DEVICE_INFO_REQ", BaseLogger::DEBUG);
    log("device info response (device " + text(info.address) + ", " +
            nameOf(info.name, info.nameLength, "Unnamed") + ", " + text(info.versionMajor) + "." +
            text(info.versionMinor) + ")" + packText(),
        BaseLogger::INFO);
    deviceHandler.addDevice(info);
}

void PayloadHandler::onFieldInfo(std::uint8_t deviceAddress, MessageDescriptor field, FieldInfo info) {
    log("Message type: FIELD_INFO_REQ", BaseLogger::DEBUG);
    if (std::strncmp(info.name, "enterBootloader", 15) == 0)
        deviceHandler.getDevice(deviceAddress)->setDeviceBootable(true);
    log("field info response (device " + text(field.address) + ", field #" + text(field.index) + " " +
            nameOf(info.name, info.nameLength, "Undefined") + ", type #" + text(info.type) + ")" + packText(),
        BaseLogger::INFO);
    deviceHandler.addDeviceField(field.address, field.index, info);
    chainNext(MSG_FIELD_INFO, field.address, deviceAddress, field.index);
}

void PayloadHandler::onFieldValue(std::uint8_t deviceAddress, MessageDescriptor field,
                                  const PayloadAnswer::FieldValue& value) {
    log("Message type: GET_FIELD_REQ", BaseLogger::DEBUG);
    deviceHandler.setDeviceFieldValue(field.address, field.index, value.bytes);
    log("field value response (device " + text(field.address) + ", field #" + text(field.index) + ")\n",
        BaseLogger::INFO);
    chainNext(MSG_GET_FIELD, field.address, deviceAddress, field.index);
}

void PayloadHandler::onFieldSet(MessageDescriptor field) {
    log("Message type: SET_FIELD_REQ", BaseLogger::DEBUG);
    App::Device* device = deviceHandler.getDevice(field.address);
    if (device == nullptr) {
        log("field value set response for device " + text(field.address) + ", which is not known: ignored",
            BaseLogger::WARNING);
        return;
    }
    if (device->getFieldIndexByName("erase") == field.index) {
        LoadStage stage = LOAD_FIRMWARE;
        GlobalHandlerEvents::getInstance()._executeHandlerWithArgs(UPLOAD_FIRMWARE, stage);
    }
    deviceHandler.setDeviceFieldValueLoaded(field.address, field.index);
}

void PayloadHandler::onFileInfo(MessageDescriptor file, const PayloadAnswer::FileInfo& info) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", info.checksum);
    log("file info response (device " + text(file.address) + ", file #" + text(file.index) + ", checksum 0x" +
            hex + ", size " + text(info.size) + ")" + packText(),
        BaseLogger::INFO);
}

void PayloadHandler::onFileWritten(MessageDescriptor file) {
    log("Message type: FILE_WRITE_REQ", BaseLogger::DEBUG);
    const FileTransfer::View before = transfer.view();
    const std::chrono::steady_clock::time_point startedAt = transfer.startedAt();
    const FileTransfer::Ack ack = transfer.acknowledge();
    if (ack == FileTransfer::Ack::NOTHING_SENT) {
        log("file write response (device " + text(file.address) + ", file #" + text(file.index) +
                (before.active ? ") before its request went out: ignored" : ") without a transfer: ignored"),
            BaseLogger::WARNING);
        // A new file recorded after the last frame went out: its erase is still to be sent,
        // and this answer to an older frame must not stand in for the erase's.
        if (before.active)
            pending[MSG_FILE_WRITE] = file;
        return;
    }
    if (wants(BaseLogger::INFO))
        log(std::string(before.eraseDone ? "write" : "erase") + " file response (device " +
                text(file.address) + ", file #" + text(file.index) + ")" + packText(),
            BaseLogger::INFO);

    if (ack == FileTransfer::Ack::COMPLETE) {
        completeTransfer(before.size, startedAt);
        return;
    }
    pending[MSG_FILE_WRITE] = file;
    generateResponse(MSG_FILE_WRITE, nullptr);
}
