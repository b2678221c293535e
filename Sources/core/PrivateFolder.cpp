#include "core/PrivateFolder.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A name beside the file that no other writer (another instance of the program) uses.
fs::path partialName(const fs::path& file) {
    static std::atomic<unsigned> counter{0};
    static std::random_device random;
    fs::path partial = file;
    partial += ".partial-" + std::to_string(random()) + "-" + std::to_string(counter++);
    return partial;
}

} // namespace

std::string TrustCheck::reason() const {
    const std::string system = detail.empty() ? std::string() : " (" + detail + ")";
    switch (problem) {
    case TrustProblem::NONE:
        return "usable";
    case TrustProblem::MISSING:
        return "missing";
    case TrustProblem::MKDIR_FAILED:
        return "mkdir failed" + system;
    case TrustProblem::SYMBOLIC_LINK:
        return "a symbolic link";
    case TrustProblem::REGULAR_FILE:
        return "a regular file, not a folder";
    case TrustProblem::NOT_A_FOLDER:
        return "not a folder";
    case TrustProblem::NOT_A_REGULAR_FILE:
        return "not a regular file";
    case TrustProblem::OTHER_OWNER:
        return "owned by another user";
    case TrustProblem::WRITABLE_BY_OTHERS:
        return "writable by group or others";
    case TrustProblem::MULTIPLE_LINKS:
        return "a hard link (the file has more than one name)";
    case TrustProblem::NOT_EMPTIED:
        return "writable by group or others, and its entries could not all be removed" + system;
    case TrustProblem::OPEN_FAILED:
        return "cannot be opened" + system;
    }
    return "unknown problem";
}

std::string TrustCheck::describe() const {
    return path.u8string() + ": " + reason();
}

TrustCheck ensurePrivateFolder(const fs::path& folder) {
    std::error_code ec;
    if (folder.has_parent_path())
        fs::create_directories(folder.parent_path(), ec);
    return checkPrivateFolder(folder);
}

TrustCheck ensurePrivateFolders(const fs::path& privateFolder, const fs::path& relative) {
    TrustCheck check;
    check.path = privateFolder;
    std::size_t removed = 0;
    fs::path folder = privateFolder;
    for (const fs::path& part : relative) {
        if (part.empty() || part == ".")
            continue;
        folder /= part;
        check = checkPrivateFolder(folder);
        removed += check.removed;
        if (!check)
            break;
    }
    check.removed = removed;
    return check;
}

bool fileHoldsExactly(const fs::path& file, const void* data, std::size_t size) {
    const File in(openTrustedFileForReading(file));
    if (!in)
        return false;
    const auto* bytes = static_cast<const char*>(data);
    std::vector<char> block(64 * 1024);
    std::size_t offset = 0;
    while (true) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), in.get());
        if (got == 0)
            return offset == size && !std::ferror(in.get());
        if (got > size - offset || std::memcmp(block.data(), bytes + offset, got) != 0)
            return false;
        offset += got;
    }
}

FileWrite placeCopy(const fs::path& file, const void* data, std::size_t size, KeepCopy keep) {
    const bool stays = keep == KeepCopy::IF_TRUSTED ? static_cast<bool>(checkPrivateFile(file))
                                                    : fileHoldsExactly(file, data, size);
    return stays ? FileWrite::KEPT : writeFileByRename(file, data, size);
}

FileWrite writeFileByRename(const fs::path& file, const void* data, std::size_t size) {
    fs::path partial;
    File out;
    for (int attempt = 0; attempt < 8 && !out; ++attempt) {
        partial = partialName(file);
        out.reset(createNewFile(partial));
    }
    if (!out)
        return FileWrite::OPEN_FAILED;
    const bool written = std::fwrite(data, 1, size, out.get()) == size && std::fflush(out.get()) == 0;
    const bool closed = std::fclose(out.release()) == 0;
    std::error_code ec;
    if (!written || !closed) {
        fs::remove(partial, ec);
        return FileWrite::WRITE_FAILED;
    }
    fs::rename(partial, file, ec);
    if (ec) {
        fs::remove(partial, ec);
        return FileWrite::RENAME_FAILED;
    }
    return FileWrite::WRITTEN;
}

fs::path programTemporaryFolder() {
    std::error_code ec;
    const fs::path temp = fs::temp_directory_path(ec);
    if (ec || temp.empty())
        return {};
    return temp / "TaviskBeaconUtility";
}
