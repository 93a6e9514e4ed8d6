#pragma once

#include <condition_variable>
#include <mutex>

#include "NQPlatform.h"

namespace NQBase {

class NQHOST_API NQSemaphore {
public:
    explicit NQSemaphore(int count = 0) : count_(count) {}
    NQSemaphore(const NQSemaphore&) = delete;
    NQSemaphore& operator=(const NQSemaphore&) = delete;

    // ms < 0 waits without a limit. Returns false on time-out.
    bool wait(int ms);
    void signal();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_;
};

}  // namespace NQBase
