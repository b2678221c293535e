#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavisk::test {

// A file with the given bytes in a fresh folder of its own, removed with the object. The
// folder's name is unique across the test processes that CTest runs side by side.
class TempFile {
public:
    using Bytes = std::vector<std::uint8_t>;

    explicit TempFile(const Bytes& content, const std::string& name = "image.bin");
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return filePath; }
    const std::string& folder() const { return folderPath; }

    // Distinct-looking bytes, not periodic in 256.
    static Bytes pattern(std::size_t size);

private:
    std::string folderPath;
    std::string filePath;
};

} // namespace tavisk::test
