#include "control/RecordedUpload.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

bool RecordedUpload::isUploadableImage(const std::string& path) {
    if (path.empty())
        return false;
    constexpr std::uintmax_t kLimit = std::uintmax_t{1} << 32;
    try {
        const fs::path file = fs::u8path(path);
        std::error_code error;
        if (!fs::is_regular_file(file, error) || error)
            return false;
        const std::uintmax_t size = fs::file_size(file, error);
        if (error || size == 0 || size >= kLimit)
            return false;
        std::ifstream in(file, std::ios::binary);
        return in.is_open();
    } catch (const std::exception&) {
        return false; // a path that is no valid UTF-8
    }
}

bool RecordedUpload::record(std::int32_t target, const std::string& path) {
    if (target != ESP32 && !isUploadableImage(path))
        return false;
    std::lock_guard<std::mutex> lock(mutex);
    current.target = target;
    current.path = path;
    return true;
}

RecordedUpload::Record RecordedUpload::get() const {
    std::lock_guard<std::mutex> lock(mutex);
    return current;
}
