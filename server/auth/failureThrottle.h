// FailureThrottle: paces the answers to wrong tokens, per client address and
// over all addresses, so that guessing tokens is slow however many
// connections the guesser opens or re-opens.
//
// Each address has a budget of kBurst quick failures, refilled at
// kPerAddressPerSecond; all addresses together kOverallBurst refilled at
// kOverallPerSecond. reserve() says when the answer to one more failure may
// go: now while the budgets last, later beyond them. A client that waits for
// its answers therefore makes at most kPerAddressPerSecond attempts per second
// from one address and kOverallPerSecond in all. The token itself is always
// checked first: only failures are paced, so a right token is never slowed.
//
// The caller passes the time, so a test can move it. At most kMaxAddresses
// are tracked; an address whose budget is whole again is forgotten.
//
// Thread rules: may be called from any thread.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

namespace logserver {

class FailureThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kPerAddressPerSecond = 10;
    static constexpr int kBurst = 10;
    static constexpr int kOverallPerSecond = 100;
    static constexpr int kOverallBurst = 100;
    static constexpr size_t kMaxAddresses = 65536;

    FailureThrottle() = default;
    FailureThrottle(const FailureThrottle&) = delete;
    FailureThrottle& operator=(const FailureThrottle&) = delete;

    // The answer to one more failure from address may go after wait. When
    // wait would exceed maxWait nothing is reserved and false is returned:
    // the caller then drops the attempt unanswered.
    bool reserve(const std::string& address, Clock::time_point now, Clock::duration maxWait, Clock::duration& wait);
    // A failure dropped unanswered (its connection closed) still spends the
    // address's budget: the closing tells a guesser as much as an answer.
    void charge(const std::string& address, Clock::time_point now);
    // Whether one more failure from address would wait longer than maxWait.
    bool overBudget(const std::string& address, Clock::time_point now, Clock::duration maxWait);

private:
    // Generic cell rate: tat is when the budget would be whole again if
    // nothing more came; an answer may go once tat - tolerance has passed.
    struct Pace {
        Clock::time_point tat;
    };
    static Clock::time_point earliest(const Pace& p, Clock::time_point now, Clock::duration interval, int burst);
    static void take(Pace& p, Clock::time_point at, Clock::duration interval);
    void forgetWhole(Clock::time_point now);

    std::mutex mutex_;
    Pace overall_;
    std::unordered_map<std::string, Pace> addresses_;
};

}  // namespace logserver
