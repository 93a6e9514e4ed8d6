// GroupSync: one flush round serves every command waiting for one.
//
// A command calls sync() after its writes; it returns once a round that
// started after those writes has finished. The first waiter runs the round
// while later ones queue; when it is done, every command that had written
// before it started is served, and the next waiter runs a round for the rest.
// Under load, N commands share about two rounds instead of making N.
//
// A round has two stages. First its steps, which do not depend on each other
// (a flush of each file written): they are run side by side, by the thread
// running the round and by every thread waiting meanwhile, since waiting
// callers have nothing else to do and the disk completes concurrent flushes
// together where it would complete sequential ones one after the other. Then
// its last stage (the index, the commit records), told whether every step
// succeeded, on the round's own thread.
//
// Thread rules: sync() may be called from any thread; the gather function is
// called by one thread at a time and must stay valid while the object exists.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "storeError.h"

namespace logserver {

class GroupSync {
public:
    using Step = std::function<bool(StoreError&)>;
    struct Round {
        std::vector<Step> steps;
        // Runs after every step; stepsOk is false when one failed.
        std::function<bool(bool stepsOk, StoreError&)> last;
    };
    using Gather = std::function<Round()>;

    explicit GroupSync(Gather gather) : gather_(std::move(gather)) {}
    GroupSync(const GroupSync&) = delete;
    GroupSync& operator=(const GroupSync&) = delete;

    // False when the round that was to cover this caller failed.
    bool sync(StoreError& err);
    // Rounds run so far (for tests and benchmarks).
    uint64_t flushCount() const;

private:
    bool runRound(std::unique_lock<std::mutex>& lock, StoreError& err);
    // Runs the next unclaimed step of the current round; lock is held on entry and exit.
    void runStep(std::unique_lock<std::mutex>& lock);
    bool stepWaiting() const { return steps_ != nullptr && nextStep_ < steps_->size(); }

    Gather gather_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t requested_ = 0;  // tickets handed out
    uint64_t covered_ = 0;    // tickets a finished round covered
    uint64_t failedUpTo_ = 0; // tickets a failed round was to cover
    StoreError lastError_;
    bool flushing_ = false;
    uint64_t flushes_ = 0;
    // The current round's steps, while they are being handed out.
    const std::vector<Step>* steps_ = nullptr;
    size_t nextStep_ = 0;
    size_t stepsLeft_ = 0;
    bool stepFailed_ = false;
    StoreError stepError_;
};

}  // namespace logserver
