#include "core/WholeFile.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

std::string systemText(DWORD error) {
    return std::system_category().message(static_cast<int>(error));
}

WholeFile failed(WholeFile::Status status, std::string reason) {
    WholeFile result;
    result.status = status;
    result.reason = std::move(reason);
    return result;
}

const char* kindOf(std::filesystem::file_type type) {
    switch (type) {
    case std::filesystem::file_type::directory:
        return "a folder";
    case std::filesystem::file_type::fifo:
        return "a FIFO";
    case std::filesystem::file_type::character:
    case std::filesystem::file_type::block:
        return "a device node";
    case std::filesystem::file_type::socket:
        return "a socket";
    default:
        return "an entry of another kind";
    }
}

class Handle {
public:
    explicit Handle(HANDLE handle) : handle(handle) {}
    ~Handle() {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    const HANDLE handle;
};

} // namespace

WholeFile readWholeFile(const std::string& utf8Path, std::uint64_t maxSize) {
    std::filesystem::path path;
    try {
        path = std::filesystem::u8path(utf8Path);
    } catch (const std::exception& error) {
        return failed(WholeFile::MISSING, error.what()); // no valid UTF-8: no such file
    }
    std::error_code error;
    const std::filesystem::file_status named = std::filesystem::status(path, error);
    if (named.type() == std::filesystem::file_type::not_found)
        return failed(WholeFile::MISSING, error ? error.message() : "not found");
    if (error)
        return failed(WholeFile::OPEN_FAILED, error.message());
    if (named.type() != std::filesystem::file_type::regular)
        return failed(WholeFile::NOT_REGULAR, kindOf(named.type()));

    const Handle file(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return failed(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? WholeFile::MISSING
                                                                                   : WholeFile::OPEN_FAILED,
                      systemText(code));
    }
    // What was opened is checked again: a name swapped for a pipe or a device since is refused.
    if (GetFileType(file.handle) != FILE_TYPE_DISK)
        return failed(WholeFile::NOT_REGULAR, "a device node");
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.handle, &info))
        return failed(WholeFile::SIZE_UNKNOWN, systemText(GetLastError()));
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return failed(WholeFile::NOT_REGULAR, "a folder");

    WholeFile result;
    result.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    if (result.size > maxSize) {
        result.status = WholeFile::TOO_LARGE;
        return result;
    }
    if (!result.makeRoom())
        return result;
    std::size_t done = 0;
    while (done < result.bytes.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(result.bytes.size() - done, 1u << 30));
        DWORD got = 0;
        const bool ok = ReadFile(file.handle, result.bytes.data() + done, want, &got, nullptr) != 0;
        if (!ok || got == 0) {
            result.reason = ok ? "it ended after " + std::to_string(done) + " of " +
                                     std::to_string(result.size) + " bytes"
                               : systemText(GetLastError());
            result.bytes.clear();
            result.status = WholeFile::READ_FAILED;
            return result;
        }
        done += got;
    }
    result.status = WholeFile::READ;
    return result;
}
