#include "liveFeed.h"

#include "consoleLimits.h"

namespace console {

constexpr size_t LiveFeed::kKeep;

void LiveFeed::publish(const std::vector<ConsoleItem>& items) {
    if (items.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& it : items) {
            items_.push_back(it);
            if (items_.size() > kKeep) {
                items_.pop_front();
                ++first_;
            }
        }
    }
    changed_.notify_all();
}

uint64_t LiveFeed::head() {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_ + items_.size();
}

bool LiveFeed::waitNext(uint64_t& from, std::chrono::milliseconds wait, std::vector<ConsoleItem>& out) {
    out.clear();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return closed_ || first_ + items_.size() > from; });
    if (closed_) return false;
    if (from < first_) from = first_;
    for (uint64_t n = from; n < first_ + items_.size(); ++n) out.push_back(items_[static_cast<size_t>(n - first_)]);
    from = first_ + items_.size();
    return true;
}

void LiveFeed::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool LiveFeed::tryAddStream() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || streams_ >= kMaxEventStreams) return false;
    ++streams_;
    return true;
}

void LiveFeed::removeStream() {
    std::lock_guard<std::mutex> lock(mutex_);
    --streams_;
}

}  // namespace console
