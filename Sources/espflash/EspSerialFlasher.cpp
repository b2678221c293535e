#include "EspSerialFlasher.h"

#include "EspSerialFlasherPort.h"
#include "LoggerManager.h"
#include "UsbCommunication.h"
#include "esp_loader.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
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
} // namespace

namespace TaviskEspSerialFlasher {

bool flashBinary(UsbCommunication& usb, const std::string& path, const FlashOptions& options,
                 const std::function<void(unsigned char)>& progress, std::string* error) {
    std::vector<std::uint8_t> image;
    {
        // u8path: the path is UTF-8 on every system (a wide path on Windows).
        std::ifstream file(std::filesystem::u8path(path), std::ios::binary | std::ios::ate);
        if (!file.is_open())
            return fail(error, "Can't open file: " + path);
        const std::streamoff end = file.tellg();
        if (end <= 0)
            return fail(error, "File is empty or size is invalid: " + path);
        // The loader takes 32-bit sizes; a larger image could only be written cut short.
        if (static_cast<std::uint64_t>(end) > 0xFFFFFFFFull)
            return fail(error, "File is too large: " + path);
        image.assign(static_cast<std::size_t>(end), 0);
        file.seekg(0);
        if (!file.read(reinterpret_cast<char*>(image.data()), end))
            return fail(error, "Can't read file: " + path);
    }
    const std::uint32_t size = static_cast<std::uint32_t>(image.size());

    taviskEspSerialFlasherPortSetUsb(&usb);
    const loader_connect_args args{kSyncTimeoutMs, kSyncTrials};
    LoaderResult r = esp_loader_connect(&args);
    if (r != LOADER_OK)
        return fail(error, "esp_loader_connect failed: " + code(r));

    const std::uint32_t block = std::max(options.blockSize, kMinBlockSize);
    r = esp_loader_flash_start(options.offset, size, block);
    if (r != LOADER_OK)
        return fail(error, "esp_loader_flash_start failed: " + code(r));

    std::vector<std::uint8_t> buffer(block, 0);
    std::uint32_t written = 0;
    while (written < size) {
        const std::uint32_t n = std::min(size - written, block);
        std::copy_n(image.begin() + written, n, buffer.begin());
        r = esp_loader_flash_write(buffer.data(), n);
        if (r != LOADER_OK)
            return fail(error, "esp_loader_flash_write failed: " + code(r));
        written += n;
        if (progress) {
            const std::uint64_t percent = std::uint64_t{written} * 100 / size;
            progress(static_cast<unsigned char>(std::min<std::uint64_t>(percent, 100)));
        }
    }

    r = esp_loader_flash_finish(options.reboot);
    if (r != LOADER_OK)
        loggerManager->log("esp_loader_flash_finish failed: " + code(r), BaseLogger::WARNING, kPrefix);
    return true;
}

} // namespace TaviskEspSerialFlasher
