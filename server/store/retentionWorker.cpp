#include "retentionWorker.h"

#include <filesystem>
#include <utility>
#include <vector>

#include "utcTime.h"

namespace logserver {

RetentionWorker::RetentionWorker(std::string root, RetentionSweep::Rules rules, bool organisations, Log log)
    : root_(std::move(root)), rules_(std::move(rules)), organisations_(organisations), log_(std::move(log)) {}

RetentionWorker::~RetentionWorker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void RetentionWorker::start() { thread_ = std::thread([this] { run(); }); }

void RetentionWorker::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        sweepAll();
        lock.lock();
        wake_.wait_for(lock, kInterval, [this] { return stopping_; });
    }
}

void RetentionWorker::sweepAll() {
    const std::string today = utcTimestamp().substr(0, 10);
    std::vector<std::string> stores;
    if (!organisations_) {
        stores.push_back(root_);
    } else {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(root_, ec)) {
            std::error_code kindError;
            if (e.is_directory(kindError)) stores.push_back(e.path().string());
        }
    }
    for (const auto& store : stores) {
        std::vector<std::string> lines;
        RetentionSweep(store, rules_).run(today, lines);
        for (const auto& line : lines) log_(store == root_ ? line : std::filesystem::path(store).filename().string() + ": " + line);
    }
}

}  // namespace logserver
