// GroupSync: one flush round serves every command waiting for one.
//
// A command calls syncAsync() after its writes and is called back once a
// round that started after those writes has finished. Rounds run on the
// object's own threads, one round at a time: the next starts as soon as the
// last one is done, for every command that asked meanwhile. Under load, N
// commands share about two rounds instead of making N, and a command waiting
// for its round holds no thread of the caller's (the server's dispatch
// threads go on reading the next commands, which then join the next round).
//
// A round has two stages. First its steps, which do not depend on each other
// (a flush of each file written): they are run side by side by the object's
// threads, since the disk completes concurrent flushes together where it
// would complete sequential ones one after the other. Then its last stage
// (the index, the commit records), told whether every step succeeded.
//
// Thread rules: syncAsync() and sync() may be called from any thread but
// never from a callback; callbacks run on the object's threads, in the order
// the calls were made within a round. The gather function is called by one
// thread at a time. The threads start with the first call; the destructor
// finishes every round asked for (its callbacks included) and joins them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
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
    // ok is false when the round that was to cover the caller failed (err says why).
    using Done = std::function<void(bool ok, const StoreError& err)>;

    // Threads that run rounds and flush files side by side.
    static constexpr int kThreads = 8;

    explicit GroupSync(Gather gather, int threads = kThreads) : gather_(std::move(gather)), threadCount_(threads) {}
    ~GroupSync();
    GroupSync(const GroupSync&) = delete;
    GroupSync& operator=(const GroupSync&) = delete;

    void syncAsync(Done done);
    // Waits for the round; false when it failed.
    bool sync(StoreError& err);
    // Rounds run so far (for tests and benchmarks).
    uint64_t flushCount() const;

private:
    void work();
    void runRound(std::unique_lock<std::mutex>& lock);
    // Runs the next unclaimed step of the current round; lock is held on entry and exit.
    void runStep(std::unique_lock<std::mutex>& lock);
    bool stepWaiting() const { return steps_ != nullptr && nextStep_ < steps_->size(); }

    Gather gather_;
    const int threadCount_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
    // Callers for the next round, in the order they asked.
    std::vector<Done> waiting_;
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
