#include "core/PrivateFolder.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

// The temporary folder on Windows belongs to the user already: no other user can plant
// anything there, so only links and the kind of an entry are checked.

namespace {

TrustCheck checkEntry(const fs::path& path, bool folder) {
    TrustCheck check;
    check.path = path;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (status.type() == fs::file_type::not_found)
        check.problem = TrustProblem::MISSING;
    else if (ec) {
        check.problem = TrustProblem::OPEN_FAILED;
        check.detail = ec.message();
    } else if (fs::is_symlink(status))
        check.problem = TrustProblem::SYMBOLIC_LINK;
    else if (folder && fs::is_regular_file(status))
        check.problem = TrustProblem::REGULAR_FILE;
    else if (folder && !fs::is_directory(status))
        check.problem = TrustProblem::NOT_A_FOLDER;
    else if (!folder && !fs::is_regular_file(status))
        check.problem = TrustProblem::NOT_A_REGULAR_FILE;
    return check;
}

} // namespace

TrustCheck checkPrivateFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directory(folder, ec);
    TrustCheck check = checkEntry(folder, true);
    if (check.problem == TrustProblem::MISSING) {
        check.problem = TrustProblem::MKDIR_FAILED;
        check.detail = ec.message();
    }
    return check;
}

TrustCheck checkPrivateFile(const fs::path& file) {
    return checkEntry(file, false);
}

std::FILE* openTrustedFileForReading(const fs::path& file) {
    if (!checkPrivateFile(file))
        return nullptr;
    return ::_wfopen(file.c_str(), L"rb");
}

std::FILE* createNewFile(const fs::path& file) {
    const int fd = ::_wopen(file.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    std::FILE* stream = ::_wfdopen(fd, L"wb");
    if (stream == nullptr)
        ::_close(fd);
    return stream;
}

std::FILE* openFileForWriting(const fs::path& file, WriteFolder, TrustCheck& check) {
    check = checkPrivateFile(file);
    if (check.problem != TrustProblem::NONE && check.problem != TrustProblem::MISSING)
        return nullptr;
    std::FILE* stream = ::_wfopen(file.c_str(), L"w");
    if (stream == nullptr) {
        check.problem = TrustProblem::OPEN_FAILED;
        return nullptr;
    }
    check = TrustCheck{};
    check.path = file;
    return stream;
}
