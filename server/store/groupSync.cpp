#include "groupSync.h"

namespace logserver {

bool GroupSync::sync(StoreError& err) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t ticket = ++requested_;
    for (;;) {
        if (covered_ >= ticket) return true;
        if (failedUpTo_ >= ticket) {
            err = lastError_;
            return false;
        }
        if (!flushing_) break;
        done_.wait(lock);
    }
    // This caller flushes for everyone who wrote before now.
    flushing_ = true;
    const uint64_t upTo = requested_;
    lock.unlock();
    StoreError flushError;
    const bool ok = flush_(flushError);
    lock.lock();
    flushing_ = false;
    ++flushes_;
    if (ok) {
        covered_ = upTo;
    } else {
        failedUpTo_ = upTo;
        lastError_ = flushError;
        err = flushError;
    }
    done_.notify_all();
    return ok;
}

uint64_t GroupSync::flushCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flushes_;
}

}  // namespace logserver
