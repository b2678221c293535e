#include "control/RecordedUpload.h"

#include "core/WholeFile.h"
#include "espflash/EspSerialFlasher.h"
#include "link/FileTransfer.h"

// Each limit is its own fact: the STM32's flash, the largest ESP32 flash; both within what a
// transfer can carry.
static_assert(RecordedUpload::kMaxStm32ImageSize <= FileTransfer::kMaxSize,
              "an STM32 image must fit the transfer's 32-bit size");

std::string RecordedUpload::refusedLine(FirmwareTarget target, const std::string& cause) {
    return std::string(firmwareTargetName(target)) + " image refused: " + cause;
}

std::uint64_t RecordedUpload::limitFor(FirmwareTarget target) {
    return target == FirmwareTarget::ESP32 ? TaviskEspSerialFlasher::kMaxImageSize : kMaxStm32ImageSize;
}

bool RecordedUpload::record(FirmwareTarget target, const std::string& path, Refusal& refusal) {
    refusal = Refusal();
    if (path.empty()) {
        refusal.cause = "no file is chosen";
        return false;
    }
    const std::uint64_t limit = limitFor(target);
    WholeFile file = readWholeFile(path, limit);
    refusal.status = file.status;
    if (file.status != WholeFile::READ) {
        refusal.cause = path + ": " + file.cause(limit);
        return false;
    }
    if (file.bytes.empty()) {
        refusal.cause = path + ": the file is empty";
        return false;
    }
    auto image = std::make_shared<const std::vector<std::uint8_t>>(std::move(file.bytes));
    std::lock_guard<std::mutex> lock(mutex);
    current.target = target;
    current.path = path;
    current.image = std::move(image);
    return true;
}

RecordedUpload::Record RecordedUpload::get() const {
    std::lock_guard<std::mutex> lock(mutex);
    return current;
}
