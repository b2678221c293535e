#include "core/WholeFile.h"

#include <filesystem>
#include <fstream>

WholeFile readWholeFile(const std::string& utf8Path, std::uint64_t maxSize) {
    WholeFile result;
    std::ifstream file;
    try {
        const std::filesystem::path path = std::filesystem::u8path(utf8Path);
        std::error_code ignored;
        // A folder may open as a stream on some systems; it is no file to read.
        if (!std::filesystem::is_directory(path, ignored))
            file.open(path, std::ios::binary | std::ios::ate);
    } catch (const std::exception&) {
        file.setstate(std::ios::failbit);
    }
    if (!file.is_open())
        return result;
    const std::streamoff end = file.tellg();
    if (end < 0) {
        result.status = WholeFile::SIZE_UNKNOWN;
        return result;
    }
    result.size = static_cast<std::uint64_t>(end);
    if (result.size > maxSize) {
        result.status = WholeFile::TOO_LARGE;
        return result;
    }
    result.bytes.assign(static_cast<std::size_t>(end), 0);
    file.seekg(0, std::ios::beg);
    if (end > 0 && !file.read(reinterpret_cast<char*>(result.bytes.data()), end)) {
        result.bytes.clear();
        result.status = WholeFile::READ_FAILED;
        return result;
    }
    result.status = WholeFile::READ;
    return result;
}
