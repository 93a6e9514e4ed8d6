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
        if (stepWaiting()) runStep(lock);
        else changed_.wait(lock);
    }
    return runRound(lock, err);
}

bool GroupSync::runRound(std::unique_lock<std::mutex>& lock, StoreError& err) {
    // This caller flushes for everyone who wrote before now.
    flushing_ = true;
    const uint64_t upTo = requested_;
    lock.unlock();
    Round round = gather_();
    lock.lock();
    steps_ = &round.steps;
    nextStep_ = 0;
    stepsLeft_ = round.steps.size();
    stepFailed_ = false;
    if (stepsLeft_ > 1) changed_.notify_all();
    while (stepWaiting()) runStep(lock);
    while (stepsLeft_ > 0) changed_.wait(lock);
    steps_ = nullptr;
    const bool stepsOk = !stepFailed_;
    StoreError roundError = stepError_;
    lock.unlock();
    bool ok = stepsOk;
    if (round.last) ok = round.last(stepsOk, roundError) && ok;
    lock.lock();
    flushing_ = false;
    ++flushes_;
    if (ok) {
        covered_ = upTo;
    } else {
        failedUpTo_ = upTo;
        lastError_ = roundError;
        err = roundError;
    }
    changed_.notify_all();
    return ok;
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
