#include "failureThrottle.h"

#include <algorithm>

namespace logserver {
namespace {

constexpr std::chrono::nanoseconds intervalOf(int perSecond) { return std::chrono::nanoseconds(std::chrono::seconds(1)) / perSecond; }

}  // namespace

FailureThrottle::Clock::time_point FailureThrottle::earliest(const Pace& p, Clock::time_point now,
                                                              Clock::duration interval, int burst) {
    return std::max(now, p.tat - interval * (burst - 1));
}

void FailureThrottle::take(Pace& p, Clock::time_point at, Clock::duration interval) {
    p.tat = std::max(p.tat, at) + interval;
}

bool FailureThrottle::reserve(const std::string& address, Clock::time_point now, Clock::duration maxWait,
                              Clock::duration& wait) {
    const auto perAddress = intervalOf(kPerAddressPerSecond);
    const auto overall = intervalOf(kOverallPerSecond);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = addresses_.find(address);
    if (it == addresses_.end()) {
        if (addresses_.size() >= kMaxAddresses) forgetWhole(now);
        it = addresses_.emplace(address, Pace{now}).first;
    }
    const auto at = std::max(earliest(it->second, now, perAddress, kBurst), earliest(overall_, now, overall, kOverallBurst));
    wait = at - now;
    if (wait > maxWait) return false;
    take(it->second, at, perAddress);
    take(overall_, at, overall);
    return true;
}

void FailureThrottle::charge(const std::string& address, Clock::time_point now) {
    const auto perAddress = intervalOf(kPerAddressPerSecond);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = addresses_.find(address);
    if (it == addresses_.end()) {
        if (addresses_.size() >= kMaxAddresses) forgetWhole(now);
        it = addresses_.emplace(address, Pace{now}).first;
    }
    take(it->second, earliest(it->second, now, perAddress, kBurst), perAddress);
}

bool FailureThrottle::overBudget(const std::string& address, Clock::time_point now, Clock::duration maxWait) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = addresses_.find(address);
    if (it == addresses_.end()) return false;
    return earliest(it->second, now, intervalOf(kPerAddressPerSecond), kBurst) - now > maxWait;
}

void FailureThrottle::forgetWhole(Clock::time_point now) {
    for (auto it = addresses_.begin(); it != addresses_.end();) {
        it = it->second.tat <= now ? addresses_.erase(it) : std::next(it);
    }
    // Every one still pacing: the overall budget alone bounds them from here.
    if (addresses_.size() >= kMaxAddresses) addresses_.clear();
}

}  // namespace logserver
