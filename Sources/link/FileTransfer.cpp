#include "link/FileTransfer.h"

#include "link/FastCrc8.h"

#include <algorithm>
#include <cstring>

namespace {

// The erase of a whole file takes the device far longer than taking a chunk.
constexpr unsigned int kFileEraseTimeoutMs = 20000;
constexpr unsigned int kChunkTimeoutMs = 500;
// From this size on a file goes in chunks of 64 bytes, below it in chunks of 32.
constexpr std::uint32_t kLargeFileThreshold = 262144;

} // namespace

bool FileTransfer::start(std::vector<std::uint8_t> bytes, std::uint8_t device, std::uint8_t file,
                         std::chrono::steady_clock::time_point startedAt) {
    stop();
    if (bytes.size() > kMaxSize)
        return false;
    fileData.swap(bytes);
    fileSize = static_cast<std::uint32_t>(fileData.size());
    fileCrc = fileData.empty() ? 0 : FastCrc8::update(0, fileData.data(), fileData.size());
    bytesRemaining = fileSize;
    fileDevice = device;
    fileIndex = file;
    transferStart = startedAt;
    running = true;
    return true;
}

void FileTransfer::stop() {
    std::vector<std::uint8_t>().swap(fileData);
    fileDevice = 0;
    fileIndex = 0;
    fileSize = 0;
    fileCrc = 0;
    chunkLength = 0;
    fileOffset = 0;
    bytesRemaining = 0;
    transferStart = {};
    eraseDone = false;
    finishSent = false;
    inFlight = false;
    running = false;
}

std::optional<FileTransfer::Request> FileTransfer::next() {
    if (!running)
        return std::nullopt;
    Request request;
    request.offset = fileOffset;
    if (!eraseDone) {
        request.kind = Kind::ERASE;
        request.timeoutMs = kFileEraseTimeoutMs;
        chunkLength = 0;
    } else {
        const std::uint32_t chunkSize = fileSize < kLargeFileThreshold ? 32 : 64;
        chunkLength = static_cast<std::uint8_t>(std::min(chunkSize, bytesRemaining));
        request.timeoutMs = kChunkTimeoutMs;
        if (chunkLength == 0) {
            request.kind = Kind::CLOSE;
            finishSent = true;
        } else {
            request.kind = Kind::CHUNK;
            request.length = chunkLength;
            std::memcpy(request.data.data(), fileData.data() + fileOffset, chunkLength);
        }
    }
    // Cut, not rounded: a percentage shown has been reached.
    if (fileSize != 0) {
        const float share = static_cast<float>(fileOffset) / static_cast<float>(fileSize);
        request.percent = static_cast<std::uint8_t>(share * 100.0f);
    }
    if (request.closes())
        request.percent = std::min<std::uint8_t>(request.percent, 99);
    inFlight = true;
    return request;
}

FileTransfer::Ack FileTransfer::acknowledge() {
    if (!running || !inFlight)
        return Ack::NOTHING_SENT;
    eraseDone = true;
    if (bytesRemaining != 0) {
        fileOffset += chunkLength;
        bytesRemaining -= chunkLength;
        inFlight = false;
        return Ack::NEXT;
    }
    if (!finishSent) {
        inFlight = false;
        return Ack::NEXT;
    }
    stop();
    return Ack::COMPLETE;
}

FileTransfer::View FileTransfer::view() const {
    View view;
    view.active = running;
    view.eraseDone = eraseDone;
    view.finishSent = finishSent;
    view.offset = fileOffset;
    view.size = fileSize;
    return view;
}
