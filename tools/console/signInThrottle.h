// SignInThrottle: failed sign-ins slow the address they came from. After n
// failures in a row an address waits 2^(n-1) seconds (at most kMaxWait)
// before its next attempt is even checked; a success clears it. May be called
// from any thread; the clock is passed in so tests move it.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace console {

class SignInThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kMaxWait{60};

    // Zero when the address may try now, else how long it must still wait.
    std::chrono::seconds waitFor(const std::string& address, Clock::time_point now);
    void failed(const std::string& address, Clock::time_point now);
    void succeeded(const std::string& address);

private:
    struct Entry {
        int failures = 0;
        Clock::time_point until;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

}  // namespace console
