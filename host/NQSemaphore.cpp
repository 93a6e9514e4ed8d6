#include "NQSemaphore.h"

#include <chrono>

namespace NQBase {

bool NQSemaphore::wait(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto available = [this] { return count_ > 0; };
    if (ms < 0) {
        cv_.wait(lock, available);
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), available)) {
        return false;
    }
    --count_;
    return true;
}

void NQSemaphore::signal() {
    // Notify with the lock held: the waiter may destroy the semaphore as soon as
    // it returns from wait (NQThread::start keeps it on its stack).
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    cv_.notify_one();
}

}  // namespace NQBase
