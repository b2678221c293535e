#include "core/WholeFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string systemText(int error) {
    return std::strerror(error);
}

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device node";
    if (S_ISSOCK(mode))
        return "a socket";
    return "an entry of another kind";
}

WholeFile failed(WholeFile::Status status, std::string reason) {
    WholeFile result;
    result.status = status;
    result.reason = std::move(reason);
    return result;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    const int fd;
};

} // namespace

WholeFile readWholeFile(const std::string& utf8Path, std::uint64_t maxSize) {
    // UTF-8 is the file system's own encoding here.
    struct stat named {};
    if (::stat(utf8Path.c_str(), &named) != 0)
        return failed(errno == ENOENT || errno == ENOTDIR ? WholeFile::MISSING : WholeFile::OPEN_FAILED,
                      systemText(errno));
    // Opening a FIFO for reading waits for a writer, and opening a device may act on it:
    // neither is an image, so neither is opened.
    if (!S_ISREG(named.st_mode))
        return failed(WholeFile::NOT_REGULAR, kindOf(named.st_mode));
    // O_NONBLOCK: should the entry have become a FIFO since, the open returns at once.
    const Descriptor file(::open(utf8Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.fd < 0)
        return failed(errno == ENOENT ? WholeFile::MISSING : WholeFile::OPEN_FAILED, systemText(errno));
    struct stat opened {};
    if (::fstat(file.fd, &opened) != 0)
        return failed(WholeFile::SIZE_UNKNOWN, systemText(errno));
    if (!S_ISREG(opened.st_mode))
        return failed(WholeFile::NOT_REGULAR, kindOf(opened.st_mode));

    WholeFile result;
    result.size = static_cast<std::uint64_t>(opened.st_size);
    if (result.size > maxSize) {
        result.status = WholeFile::TOO_LARGE;
        return result;
    }
    if (!result.makeRoom())
        return result;
    std::size_t done = 0;
    while (done < result.bytes.size()) {
        const ssize_t n = ::read(file.fd, result.bytes.data() + done, result.bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            result.reason = n < 0 ? systemText(errno)
                                  : "it ended after " + std::to_string(done) + " of " +
                                        std::to_string(result.size) + " bytes";
            result.bytes.clear();
            result.status = WholeFile::READ_FAILED;
            return result;
        }
        done += static_cast<std::size_t>(n);
    }
    result.status = WholeFile::READ;
    return result;
}
