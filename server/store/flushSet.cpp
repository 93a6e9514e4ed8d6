#include "flushSet.h"

#include <sys/stat.h>
#include <unistd.h>

namespace logserver {

FlushSet::Batch::Batch(Batch&& other) noexcept { *this = std::move(other); }

FlushSet::Batch& FlushSet::Batch::operator=(Batch&& other) noexcept {
    if (this != &other) {
        for (const auto& f : appended) ::close(f.second);
        appended = std::move(other.appended);
        created = std::move(other.created);
        folders = std::move(other.folders);
        commits = std::move(other.commits);
        other.appended.clear();
        other.created.clear();
        other.folders.clear();
        other.commits.clear();
    }
    return *this;
}

FlushSet::Batch::~Batch() {
    for (const auto& f : appended) ::close(f.second);
}

bool FlushSet::noteAppended(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    const std::pair<dev_t, ino_t> id(st.st_dev, st.st_ino);
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.appended.count(id) != 0) return true;
    const int copy = ::dup(fd);
    if (copy < 0) return false;
    pending_.appended.emplace(id, copy);
    return true;
}

void FlushSet::noteCreated(const std::string& fullPath) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.created.insert(fullPath);
}

void FlushSet::noteFolder(const std::string& fullPath) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.folders.insert(fullPath);
}

void FlushSet::noteCommit(uint64_t seq) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.commits.push_back(seq);
}

FlushSet::Batch FlushSet::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    Batch batch(std::move(pending_));
    return batch;
}

void FlushSet::putBack(Batch&& batch) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& f : batch.appended) {
        if (pending_.appended.emplace(f.first, f.second).second) f.second = -1;
    }
    for (auto it = batch.appended.begin(); it != batch.appended.end();) {
        if (it->second < 0) it = batch.appended.erase(it);
        else ++it;
    }
    pending_.created.insert(batch.created.begin(), batch.created.end());
    pending_.folders.insert(batch.folders.begin(), batch.folders.end());
    pending_.commits.insert(pending_.commits.end(), batch.commits.begin(), batch.commits.end());
}

}  // namespace logserver
