#include "fileOps.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace logserver {
namespace fileOps {

bool writeAll(int fd, const char* p, size_t left) {
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

namespace {
bool syncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    const int code = errno;
    ::close(fd);
    errno = code;
    return ok;
}
}  // namespace

bool syncFile(const std::string& path) { return syncPath(path, O_RDONLY); }
bool syncDir(const std::string& dir) { return syncPath(dir, O_RDONLY | O_DIRECTORY); }

bool syncIfThere(const std::string& path, bool folder) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
    const bool ok = (folder ? ::fsync(fd) : ::fdatasync(fd)) == 0;
    const int code = errno;
    ::close(fd);
    errno = code;
    return ok;
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace fileOps
}  // namespace logserver
