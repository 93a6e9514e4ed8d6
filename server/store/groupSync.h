// GroupSync: one flush serves every command waiting for one.
//
// A command calls sync() after its writes; it returns once a flush that
// started after those writes has finished. The first waiter flushes (the
// flush function given at construction) while later ones queue; when it is
// done, every command that had written before it started is served, and the
// next waiter flushes for the rest. Under load, N commands share about two
// flushes instead of making N.
//
// Thread rules: sync() may be called from any thread; the flush function is
// called by one thread at a time and must stay valid while the object exists.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "storeError.h"

namespace logserver {

class GroupSync {
public:
    using Flush = std::function<bool(StoreError&)>;
    explicit GroupSync(Flush flush) : flush_(std::move(flush)) {}
    GroupSync(const GroupSync&) = delete;
    GroupSync& operator=(const GroupSync&) = delete;

    // False when the flush that was to cover this caller failed.
    bool sync(StoreError& err);
    // Flushes done so far (for tests and benchmarks).
    uint64_t flushCount() const;

private:
    Flush flush_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    uint64_t requested_ = 0;  // tickets handed out
    uint64_t covered_ = 0;    // tickets a finished flush covered
    uint64_t failedUpTo_ = 0; // tickets a failed flush was to cover
    StoreError lastError_;
    bool flushing_ = false;
    uint64_t flushes_ = 0;
};

}  // namespace logserver
