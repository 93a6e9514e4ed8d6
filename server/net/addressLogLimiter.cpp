#include "addressLogLimiter.h"

namespace logserver {

bool AddressLogLimiter::due(const std::string& address, Clock::time_point now, uint64_t& held) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = addresses_.find(address);
    if (it == addresses_.end()) {
        if (addresses_.size() >= kMaxAddresses) forgetOld(now);
        addresses_[address].lastLine = now;
        held = 0;
        return true;
    }
    State& s = it->second;
    if (now - s.lastLine < period_) {
        ++s.held;
        return false;
    }
    held = s.held;
    s.held = 0;
    s.lastLine = now;
    return true;
}

void AddressLogLimiter::forgetOld(Clock::time_point now) {
    for (auto it = addresses_.begin(); it != addresses_.end();) {
        it = now - it->second.lastLine >= period_ ? addresses_.erase(it) : std::next(it);
    }
    if (addresses_.size() >= kMaxAddresses) addresses_.clear();
}

}  // namespace logserver
