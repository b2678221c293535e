#include "tests/support/TempFile.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>

namespace tavisk::test {

TempFile::TempFile(const Bytes& content, const std::string& name) {
    static std::atomic<int> counter{0};
    static const unsigned run = std::random_device{}();
    const auto dir = std::filesystem::temp_directory_path() /
                     ("tavisk-test-" + std::to_string(run) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(dir);
    folderPath = dir.u8string();
    const std::filesystem::path file = dir / std::filesystem::u8path(name);
    filePath = file.u8string();
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

TempFile::~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::u8path(folderPath), ignored);
}

TempFile::Bytes TempFile::pattern(std::size_t size) {
    Bytes bytes(size);
    std::uint32_t x = 0x12345678;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

} // namespace tavisk::test
