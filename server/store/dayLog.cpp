#include "dayLog.h"

#include <cerrno>
#include <filesystem>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileOps.h"

namespace logserver {

DayLog::DayLog(std::string root, PathOfDay pathOfDay, bool sync)
    : root_(std::move(root)), pathOfDay_(std::move(pathOfDay)), sync_(sync) {}

DayLog::~DayLog() {
    if (fd_ >= 0) ::close(fd_);
    for (int fd : retired_) ::close(fd);
}

bool DayLog::openDay(const std::string& day, StoreError& err) {
    const std::string rel = pathOfDay_(day);
    const std::string full = root_ + "/" + rel;
    int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT) {
        std::error_code ec;
        std::filesystem::create_directories(root_ + "/" + fileOps::parentOf(rel), ec);
        if (sync_) fileOps::syncDir(root_);
        fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        err = StoreError::fromErrno(errno, rel);
        if (fd >= 0) ::close(fd);
        return false;
    }
    // A new day's file must survive a crash along with what is in it.
    if (st.st_size == 0 && sync_ && !fileOps::syncDir(root_ + "/" + fileOps::parentOf(rel))) {
        err = StoreError::fromErrno(errno, rel);
        ::close(fd);
        return false;
    }
    if (fd_ >= 0) {
        if (dirty_) retired_.push_back(fd_);
        else ::close(fd_);
    }
    fd_ = fd;
    day_ = day;
    relPath_ = rel;
    size_ = static_cast<uint64_t>(st.st_size);
    dirty_ = false;
    return true;
}

bool DayLog::movedAway() const {
    // An operator renamed or removed the file: the next line goes to the
    // file under the day's name, made anew.
    struct stat byName {}, open {};
    if (::stat((root_ + "/" + relPath_).c_str(), &byName) != 0 || ::fstat(fd_, &open) != 0) return true;
    return byName.st_dev != open.st_dev || byName.st_ino != open.st_ino;
}

bool DayLog::append(const std::string& day, const std::string& bytes, const BeforeAppend& before, uint64_t& offset,
                    StoreError& err) {
    std::lock_guard<std::mutex> lock(mutex_);
    if ((fd_ < 0 || day != day_ || movedAway()) && !openDay(day, err)) return false;
    // Someone else (a server sharing the folder in turn) may have appended.
    struct stat st {};
    if (::fstat(fd_, &st) == 0) size_ = static_cast<uint64_t>(st.st_size);
    if (before && !before(relPath_, size_, err)) return false;
    if (!fileOps::writeAll(fd_, bytes.data(), bytes.size())) {
        err = StoreError::fromErrno(errno, relPath_);
        if (::ftruncate(fd_, static_cast<off_t>(size_)) == 0 && sync_) ::fsync(fd_);
        // Opened afresh next time: the file may have been removed meanwhile.
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    offset = size_;
    size_ += bytes.size();
    dirty_ = true;
    return true;
}

bool DayLog::flush(StoreError& err) {
    if (!sync_) return true;
    std::vector<int> fds;
    std::string rel;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fds.swap(retired_);
        if (fd_ >= 0 && dirty_) {
            const int fd = ::dup(fd_);
            if (fd >= 0) fds.push_back(fd);
            dirty_ = false;
        }
        rel = relPath_;
    }
    bool ok = true;
    for (int fd : fds) {
        if (ok && ::fdatasync(fd) != 0) {
            err = StoreError::fromErrno(errno, rel);
            ok = false;
        }
        ::close(fd);
    }
    return ok;
}

}  // namespace logserver
