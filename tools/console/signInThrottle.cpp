#include "signInThrottle.h"

#include <algorithm>

namespace console {

constexpr std::chrono::seconds SignInThrottle::kMaxWait;

std::chrono::seconds SignInThrottle::waitFor(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(address);
    if (it == entries_.end() || it->second.until <= now) return std::chrono::seconds(0);
    return std::chrono::duration_cast<std::chrono::seconds>(it->second.until - now) + std::chrono::seconds(1);
}

void SignInThrottle::failed(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Forget addresses whose wait is long over, so the table stays bounded
    // by the addresses failing now.
    if (entries_.size() > 10000)
        for (auto it = entries_.begin(); it != entries_.end();)
            it = it->second.until + kMaxWait < now ? entries_.erase(it) : std::next(it);
    auto& e = entries_[address];
    e.failures = std::min(e.failures + 1, 16);
    const auto wait = std::min<std::chrono::seconds>(std::chrono::seconds(1LL << (e.failures - 1)), kMaxWait);
    e.until = now + wait;
}

void SignInThrottle::succeeded(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(address);
}

}  // namespace console
