#include "espflash/EspSerialFlasher.h"

#include "core/LoggerManager.h"
#include "core/WholeFile.h"
#include "espflash/EspSerialFlasherPort.h"
#include "espflash/esp_loader.h"
#include "espflash/md5_hash.h"
#include "link/UsbCommunication.h"

#include <algorithm>
#include <vector>

namespace {
const std::string kPrefix = "EspSerialFlasher: ";
constexpr std::uint32_t kMinBlockSize = 256;
constexpr std::uint32_t kSyncTimeoutMs = 500;
constexpr std::uint32_t kSyncTrials = 20;

LoggerManager* loggerManager = &LoggerManager::getInstance();

bool fail(std::string* error, const std::string& text) {
    if (error != nullptr)
        *error = text;
    return false;
}

std::string code(LoaderResult r) {
    return std::to_string(static_cast<std::int32_t>(r));
}

// A loader failure's text, kept as it always was ("esp_loader_flash_start failed: 5"), after an
// ERROR line that says what the number means, and why when that is known.
std::string failureText(const char* operation, LoaderResult r, const std::string& why = {}) {
    const std::string text = TaviskEspSerialFlasher::loaderFailureText(operation, r);
    loggerManager->log(text + " means " + TaviskEspSerialFlasher::meaningOf(r) +
                           (why.empty() ? "" : ": " + why),
                       BaseLogger::ERROR, kPrefix);
    return text;
}

bool loaderFailed(std::string* error, const char* operation, LoaderResult r, const std::string& why = {}) {
    return fail(error, failureText(operation, r, why));
}

std::string hex(const std::uint8_t (&digest)[16]) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : digest) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

// Asks the chip for the MD5 of the written range and compares it with the image's own.
bool verify(std::uint32_t offset, const std::vector<std::uint8_t>& image, std::string* error) {
    std::uint8_t written[16];
    const LoaderResult r = esp_loader_flash_md5(offset, static_cast<std::uint32_t>(image.size()), written);
    if (r == LOADER_UNSUPPORTED_OP) {
        loggerManager->log("The written image was not verified: this chip's ROM loader has no MD5 command",
                           BaseLogger::WARNING, kPrefix);
        return true;
    }
    if (r != LOADER_OK)
        return fail(error, "ESP32 flash verification failed: the written image could not be verified (" +
                               failureText("esp_loader_flash_md5", r) + ")");
    std::uint8_t expected[16];
    tavisk_md5::MD5Context md5;
    tavisk_md5::MD5Init(&md5);
    tavisk_md5::MD5Update(&md5, image.data(), image.size());
    tavisk_md5::MD5Final(expected, &md5);
    if (std::equal(std::begin(expected), std::end(expected), std::begin(written)))
        return true;
    return fail(error, "ESP32 flash verification failed: the written image differs (MD5 of the image " +
                           hex(expected) + ", of the flash " + hex(written) + ")");
}

void finish(bool reboot) {
    const LoaderResult r = esp_loader_flash_finish(reboot);
    if (r == LOADER_OK)
        return;
    const std::string text = "esp_loader_flash_finish failed: " + code(r);
    loggerManager->log(text, BaseLogger::WARNING, kPrefix);
    loggerManager->log(text + " means " + TaviskEspSerialFlasher::meaningOf(r), BaseLogger::WARNING, kPrefix);
}
} // namespace

namespace TaviskEspSerialFlasher {

std::string imageFileText(WholeFile::Status status, const std::string& path) {
    switch (WholeFile::failedStep(status)) {
    case WholeFile::Step::OPEN:
        return "Can't open file: " + path;
    case WholeFile::Step::READ:
        return "Can't read file: " + path;
    case WholeFile::Step::NONE: // read, and empty
    case WholeFile::Step::SIZE:
    case WholeFile::Step::LIMIT:
        break;
    }
    return "File is empty or size is invalid: " + path;
}

std::string loaderFailureText(const char* operation, LoaderResult result) {
    return std::string(operation) + " failed: " + code(result);
}

bool flashBinary(UsbCommunication& usb, const std::string& path, const FlashOptions& options,
                 const std::function<void(unsigned char)>& progress, std::string* error) {
    WholeFile file = readWholeFile(path, kMaxImageSize);
    if (file.status != WholeFile::READ || file.bytes.empty())
        return fail(error, imageFileText(file.status, path));
    return flashImage(usb, file.bytes, options, progress, error);
}

std::string meaningOf(LoaderResult result) {
    switch (result) {
    case LOADER_OK:
        return "success";
    case LOADER_FAIL:
        return "a failure that the chip reported";
    case LOADER_TIMEOUT:
        return "no answer in time";
    case LOADER_IMAGE_TOO_LARGE:
        return "an image that does not fit the chip's flash";
    case LOADER_MD5_MISMATCH:
        return "a digest that differs from the image's";
    case LOADER_BAD_PARAM:
        return "an invalid argument";
    case LOADER_BAD_TARGET:
        return "no chip detected yet";
    case LOADER_UNSUPPORTED_CHIP:
        return "a chip that the loader does not know";
    case LOADER_UNSUPPORTED_OP:
        return "an operation that this chip's loader does not have";
    case LOADER_BAD_RESPONSE:
        return "an answer that could not be read";
    }
    return "an unknown result";
}

bool acceptsImage(std::uint64_t size, const FlashOptions& options, std::string* why, LoaderResult* refusal) {
    auto refuse = [&](LoaderResult r, const std::string& text) {
        if (why)
            *why = text;
        if (refusal)
            *refusal = r;
        return false;
    };
    // What esp_loader_flash_start refuses, found before the chip is touched.
    if (size % 4 != 0)
        return refuse(LOADER_BAD_PARAM,
                      "its size of " + std::to_string(size) +
                          " bytes is not a multiple of 4 (the loader writes whole 32-bit words)");
    if (options.offset % 4 != 0)
        return refuse(LOADER_BAD_PARAM,
                      "its flash offset " + std::to_string(options.offset) + " is not a multiple of 4");
    if (std::max(options.blockSize, kMinBlockSize) > esp_loader_max_block_size())
        return refuse(LOADER_BAD_PARAM, "the block size " + std::to_string(options.blockSize) + " is over " +
                                            std::to_string(esp_loader_max_block_size()));
    const std::uint64_t largest = esp_loader_largest_flash_size();
    if (options.offset + size > largest)
        return refuse(LOADER_IMAGE_TOO_LARGE,
                      "its " + std::to_string(size) + " bytes at offset " + std::to_string(options.offset) +
                          " end beyond the largest flash of " + std::to_string(largest) + " bytes");
    return true;
}

bool flashImage(UsbCommunication& usb, const std::vector<std::uint8_t>& image, const FlashOptions& options,
                const std::function<void(unsigned char)>& progress, std::string* error) {
    if (image.empty() || image.size() > kMaxImageSize)
        return fail(error, "File is empty or size is invalid: " + std::to_string(image.size()) + " bytes");
    const std::uint32_t size = static_cast<std::uint32_t>(image.size());
    std::string why;
    LoaderResult refused = LOADER_OK;
    if (!acceptsImage(size, options, &why, &refused)) {
        loggerManager->log("The ESP32 is left in its application: the loader would refuse the image (" + why +
                               ")",
                           BaseLogger::WARNING, kPrefix);
        return loaderFailed(error, "esp_loader_flash_start", refused, why);
    }

    taviskEspSerialFlasherPortSetUsb(&usb);
    const loader_connect_args args{kSyncTimeoutMs, kSyncTrials};
    LoaderResult r = esp_loader_connect(&args);
    if (r != LOADER_OK)
        return loaderFailed(error, "esp_loader_connect", r);

    const std::uint32_t block = std::max(options.blockSize, kMinBlockSize);
    r = esp_loader_flash_start(options.offset, size, block);
    if (r == LOADER_IMAGE_TOO_LARGE)
        return loaderFailed(error, "esp_loader_flash_start", r,
                            "its " + std::to_string(size) + " bytes at offset " +
                                std::to_string(options.offset) + " end beyond the chip's flash of " +
                                std::to_string(esp_loader_flash_size()) + " bytes");
    if (r != LOADER_OK)
        return loaderFailed(error, "esp_loader_flash_start", r);

    std::vector<std::uint8_t> buffer(block, 0);
    std::uint32_t written = 0;
    while (written < size) {
        const std::uint32_t n = std::min(size - written, block);
        std::copy_n(image.begin() + written, n, buffer.begin());
        r = esp_loader_flash_write(buffer.data(), n);
        if (r != LOADER_OK)
            return loaderFailed(error, "esp_loader_flash_write", r,
                                "the block at " + std::to_string(written) + " of " + std::to_string(size) +
                                    " bytes");
        written += n;
        // 100 is kept for a verified image.
        if (progress) {
            const std::uint64_t percent = std::uint64_t{written} * 100 / size;
            progress(static_cast<unsigned char>(std::min<std::uint64_t>(percent, 99)));
        }
    }

    // A chip asked to reboot leaves its loader at the end command and answers nothing more, so
    // it is asked for the digest first, and reboots only into an image that was verified.
    if (!options.reboot)
        finish(false);
    const bool verified = verify(options.offset, image, error);
    if (options.reboot)
        finish(verified);
    if (!verified)
        return false;
    if (progress)
        progress(100);
    return true;
}

} // namespace TaviskEspSerialFlasher
