#include "appendFileCache.h"

#include <vector>

#include <unistd.h>

namespace logserver {

AppendFileCache::~AppendFileCache() {
    for (const auto& e : lru_) ::close(e.fd);
}

int AppendFileCache::take(const std::string& key, const struct stat& current) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = byKey_.find(key);
    if (it == byKey_.end()) return -1;
    const Entry e = *it->second;
    lru_.erase(it->second);
    byKey_.erase(it);
    lock.unlock();
    if (e.dev == current.st_dev && e.ino == current.st_ino) return e.fd;
    ::close(e.fd);
    return -1;
}

void AppendFileCache::give(const std::string& key, int fd, const struct stat* opened) {
    struct stat st {};
    if (opened) st = *opened;
    if (capacity_ == 0 || (!opened && ::fstat(fd, &st) != 0)) {
        ::close(fd);
        return;
    }
    std::vector<int> evicted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = byKey_.find(key);
        if (it != byKey_.end()) {  // only one writer per path at a time, but be safe
            evicted.push_back(it->second->fd);
            lru_.erase(it->second);
            byKey_.erase(it);
        }
        lru_.push_front(Entry{key, fd, st.st_dev, st.st_ino});
        byKey_[key] = lru_.begin();
        while (lru_.size() > capacity_) {
            evicted.push_back(lru_.back().fd);
            byKey_.erase(lru_.back().key);
            lru_.pop_back();
        }
    }
    for (int old : evicted) ::close(old);
}

size_t AppendFileCache::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lru_.size();
}

}  // namespace logserver
