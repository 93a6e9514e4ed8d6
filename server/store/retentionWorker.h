// RetentionWorker: runs the retention sweep (retentionSweep.h) on a thread of
// its own, once at start and then every hour, over the store and, with
// organisation stores, over every organisation's folder.
//
// Thread rules: construct, then start(); the destructor stops the thread,
// interrupting its wait (a sweep under way finishes first).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "retentionSweep.h"

namespace logserver {

class RetentionWorker {
public:
    static constexpr std::chrono::hours kInterval{1};
    using Log = std::function<void(const std::string&)>;

    // organisations: the root's subfolders are organisation stores.
    RetentionWorker(std::string root, RetentionSweep::Rules rules, bool organisations, Log log);
    ~RetentionWorker();
    RetentionWorker(const RetentionWorker&) = delete;
    RetentionWorker& operator=(const RetentionWorker&) = delete;

    void start();

private:
    void run();
    void sweepAll();

    const std::string root_;
    const RetentionSweep::Rules rules_;
    const bool organisations_;
    const Log log_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace logserver
