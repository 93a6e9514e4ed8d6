#include "sessionTable.h"

#include <sodium.h>

#include <algorithm>

#include "consoleLimits.h"

namespace console {

std::string SessionTable::open(const std::string& name, Clock::time_point now) {
    unsigned char raw[32];
    randombytes_buf(raw, sizeof raw);
    char hex[sizeof raw * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, raw, sizeof raw);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = it->second.expires <= now ? sessions_.erase(it) : std::next(it);
    if (sessions_.size() >= static_cast<size_t>(kMaxSessions)) {
        auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
            return a.second.expires < b.second.expires;
        });
        sessions_.erase(oldest);
    }
    sessions_[hex] = {name, now + std::chrono::hours(kSessionHours)};
    return hex;
}

std::string SessionTable::lookup(const std::string& id, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return {};
    if (it->second.expires <= now) {
        sessions_.erase(it);
        return {};
    }
    return it->second.name;
}

void SessionTable::close(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(id);
}

}  // namespace console
