#include "spareFilePool.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace logserver {

SpareFilePool::SpareFilePool(std::string dir, std::string prefix, Options options)
    : dir_(std::move(dir)), prefix_(std::move(prefix)), options_(std::move(options)) {
    if (options_.high == 0) options_.high = 1;
    if (options_.low > options_.high) options_.low = options_.high;
}

SpareFilePool::~SpareFilePool() { stop(); }

int64_t SpareFilePool::now() const {
    if (options_.nowMs) return options_.nowMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string SpareFilePool::pathOf(unsigned long n) const { return dir_ + "/" + prefix_ + std::to_string(n); }

void SpareFilePool::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable() || stopping_) return;
    thread_ = std::thread([this] { run(); });
}

void SpareFilePool::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::vector<unsigned long> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(spares_);
        left.insert(left.end(), discarded_.begin(), discarded_.end());
        discarded_.clear();
    }
    for (unsigned long n : left) ::unlink(pathOf(n).c_str());
}

bool SpareFilePool::take(std::string& path) {
    unsigned long n = 0;
    bool refill = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (spares_.empty()) return false;
        n = spares_.back();
        spares_.pop_back();
        ++taken_;
        refill = !filling_ && spares_.size() < options_.low;
    }
    if (refill) wake_.notify_one();
    path = pathOf(n);
    return true;
}

void SpareFilePool::lost() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        discarded_.insert(discarded_.end(), spares_.begin(), spares_.end());
        spares_.clear();
    }
    wake_.notify_one();
}

void SpareFilePool::resume() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pausedUntil_ == 0) return;
        pausedUntil_ = 0;
    }
    wake_.notify_one();
}

void SpareFilePool::wake() { wake_.notify_one(); }

size_t SpareFilePool::ready() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return spares_.size();
}

uint64_t SpareFilePool::taken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return taken_;
}

uint64_t SpareFilePool::failures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

uint64_t SpareFilePool::rounds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rounds_;
}

size_t SpareFilePool::removeLeftovers(const std::string& dir) {
    size_t removed = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::strncmp(e->d_name, ".spare-", 7) == 0 && ::unlink((dir + "/" + e->d_name).c_str()) == 0)
                ++removed;
        }
        ::closedir(d);
    }
    return removed;
}

void SpareFilePool::pauseLocked() {
    pausedUntil_ = now() + options_.pause.count();
    if (pausedUntil_ <= 0) pausedUntil_ = 1;  // 0 means not paused
}

// No system call is made with the lock held, so that take() never waits for one.
void SpareFilePool::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        ++rounds_;
        if (!discarded_.empty()) {
            std::vector<unsigned long> gone;
            gone.swap(discarded_);
            lock.unlock();
            for (unsigned long n : gone) ::unlink(pathOf(n).c_str());
            lock.lock();
            continue;
        }
        const int64_t t = now();
        if (t < pausedUntil_) {
            wake_.wait_for(lock, std::chrono::milliseconds(pausedUntil_ - t));
            continue;
        }
        pausedUntil_ = 0;
        if (!filling_) {
            if (spares_.size() >= options_.low) {
                wake_.wait(lock);
                continue;
            }
            filling_ = true;
            if (options_.mayGrow) {
                lock.unlock();
                const bool may = options_.mayGrow();
                lock.lock();
                if (!may) {
                    filling_ = false;
                    pauseLocked();
                    continue;
                }
            }
        }
        if (spares_.size() >= options_.high) {
            filling_ = false;
            continue;
        }
        const unsigned long n = next_++;
        lock.unlock();
        const int fd = ::open(pathOf(n).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        const int code = errno;
        if (fd >= 0) ::close(fd);
        lock.lock();
        if (fd >= 0) {
            spares_.push_back(n);
        } else if (code != EEXIST) {
            // Missing folder, full disk, no descriptor left: try again later.
            ++failures_;
            filling_ = false;
            pauseLocked();
        }
    }
}

}  // namespace logserver
