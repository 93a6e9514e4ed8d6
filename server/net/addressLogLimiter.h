// AddressLogLimiter: lets one log line per client address through per period
// and counts the ones held back, so that an attacker repeating a refused
// attempt cannot fill the log, and the operator still learns how often it
// happened ("... 532 more since the last line").
//
// The caller passes the time, so a test can move it. At most kMaxAddresses
// are remembered; beyond that, addresses whose period is over are forgotten
// first, and if none is, all of them (a flood from that many addresses is
// itself worth a line each).
//
// Thread rules: may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace logserver {

class AddressLogLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxAddresses = 65536;

    explicit AddressLogLimiter(Clock::duration period = std::chrono::minutes(1)) : period_(period) {}
    AddressLogLimiter(const AddressLogLimiter&) = delete;
    AddressLogLimiter& operator=(const AddressLogLimiter&) = delete;

    // Counts one event for address. True when its line is due: held is then
    // how many events were not logged since the address's last line.
    bool due(const std::string& address, Clock::time_point now, uint64_t& held);

private:
    struct State {
        Clock::time_point lastLine;
        uint64_t held = 0;
    };
    void forgetOld(Clock::time_point now);

    const Clock::duration period_;
    std::mutex mutex_;
    std::unordered_map<std::string, State> addresses_;
};

}  // namespace logserver
