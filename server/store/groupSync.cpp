#include "groupSync.h"

#include <future>
#include <memory>
#include <utility>

namespace logserver {

GroupSync::~GroupSync() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (auto& t : threads_) t.join();
}

void GroupSync::syncAsync(Done done) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.push_back(std::move(done));
        if (threads_.empty()) {
            for (int i = 0; i < threadCount_; ++i) threads_.emplace_back([this] { work(); });
        }
    }
    changed_.notify_all();
}

bool GroupSync::sync(StoreError& err) {
    // Shared with the callback, which may still be running when get() returns.
    auto result = std::make_shared<std::promise<StoreError>>();
    auto answer = result->get_future();
    syncAsync([result](bool ok, const StoreError& e) { result->set_value(ok ? StoreError{} : e); });
    err = answer.get();
    return err.reason.empty();
}

void GroupSync::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stepWaiting()) {
            runStep(lock);
        } else if (!flushing_ && !waiting_.empty()) {
            runRound(lock);
        } else if (stopping_ && !flushing_ && waiting_.empty()) {
            return;
        } else {
            changed_.wait(lock);
        }
    }
}

void GroupSync::runRound(std::unique_lock<std::mutex>& lock) {
    // Everyone who asked before now wrote before now: one round covers them.
    flushing_ = true;
    std::vector<Done> served;
    served.swap(waiting_);
    lock.unlock();
    Round round = gather_();
    lock.lock();
    steps_ = &round.steps;
    nextStep_ = 0;
    stepsLeft_ = round.steps.size();
    stepFailed_ = false;
    stepError_ = StoreError{};
    if (stepsLeft_ > 1) changed_.notify_all();
    while (stepWaiting()) runStep(lock);
    while (stepsLeft_ > 0) changed_.wait(lock);
    steps_ = nullptr;
    const bool stepsOk = !stepFailed_;
    StoreError roundError = stepError_;
    lock.unlock();
    bool ok = stepsOk;
    if (round.last) ok = round.last(stepsOk, roundError) && ok;
    if (ok) roundError = StoreError{};
    else if (roundError.reason.empty()) roundError = StoreError{"flush failed"};
    lock.lock();
    flushing_ = false;
    ++flushes_;
    // The next round may start on another thread while this one answers.
    changed_.notify_all();
    lock.unlock();
    for (auto& done : served) done(ok, roundError);
    served.clear();
    lock.lock();
}

void GroupSync::runStep(std::unique_lock<std::mutex>& lock) {
    const Step& step = (*steps_)[nextStep_++];
    lock.unlock();
    StoreError stepError;
    const bool ok = step(stepError);
    lock.lock();
    if (!ok && !stepFailed_) {
        stepFailed_ = true;
        stepError_ = stepError;
    }
    if (--stepsLeft_ == 0) changed_.notify_all();
}

uint64_t GroupSync::flushCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flushes_;
}

}  // namespace logserver
