// Wrong tokens are answered at a bounded pace per address and overall, on a
// clock the test moves; log lines about them come once per address per period.
#include <gtest/gtest.h>

#include "addressLogLimiter.h"
#include "failureThrottle.h"
#include "handshakeLog.h"

namespace {

using logserver::AddressLogLimiter;
using logserver::FailureThrottle;
using Clock = FailureThrottle::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Answers that one client waiting for each answer gets in span, starting at t.
int answeredIn(FailureThrottle& throttle, const std::string& address, Clock::time_point& t, Clock::duration span) {
    const Clock::time_point end = t + span;
    int answered = 0;
    for (;;) {
        Clock::duration wait{};
        EXPECT_TRUE(throttle.reserve(address, t, seconds(10), wait));
        if (t + wait > end) return answered;
        t += wait;
        ++answered;
    }
}

// Failures dropped unanswered (their connections closed) spend the budget
// like answered ones: the address is over it until the debt is paid at ten a
// second, and the answers it gets meanwhile wait for that too.
TEST(FailureThrottleTest, UnansweredFailuresSpendTheBudgetToo) {
    FailureThrottle throttle;
    Clock::time_point t{seconds(1000)};
    const auto maxWait = seconds(2);
    EXPECT_FALSE(throttle.overBudget("10.0.0.1", t, maxWait)) << "an address never seen";
    for (int i = 0; i < FailureThrottle::kBurst + FailureThrottle::kPerAddressPerSecond * 3; ++i) throttle.charge("10.0.0.1", t);
    EXPECT_TRUE(throttle.overBudget("10.0.0.1", t, maxWait));
    EXPECT_FALSE(throttle.overBudget("10.0.0.2", t, maxWait)) << "another address is not held back";
    Clock::duration wait{};
    EXPECT_FALSE(throttle.reserve("10.0.0.1", t, maxWait, wait));
    EXPECT_GT(wait, maxWait);
    // 40 failures at ten a second, the burst's nine at once: the next may go
    // after 3.1 s, within the wait from 1.1 s on.
    EXPECT_TRUE(throttle.overBudget("10.0.0.1", t + milliseconds(1050), maxWait));
    EXPECT_FALSE(throttle.overBudget("10.0.0.1", t + milliseconds(1150), maxWait));
    ASSERT_TRUE(throttle.reserve("10.0.0.1", t + milliseconds(3100), seconds(0), wait));
    EXPECT_EQ(Clock::duration::zero(), wait);
}

TEST(FailureThrottleTest, AnAddressGetsItsBurstThenTenASecond) {
    FailureThrottle throttle;
    Clock::time_point t{seconds(1000)};
    // The burst is answered at once, then the pace holds over a long run.
    EXPECT_EQ(FailureThrottle::kBurst + FailureThrottle::kPerAddressPerSecond * 10,
              answeredIn(throttle, "10.0.0.1", t, seconds(10)));
    // Another address is not slowed by the first.
    Clock::duration wait{};
    ASSERT_TRUE(throttle.reserve("10.0.0.2", t, seconds(0), wait));
    EXPECT_EQ(Clock::duration::zero(), wait);
    // Left alone, an address gets its whole burst back.
    t += seconds(2);
    for (int i = 0; i < FailureThrottle::kBurst; ++i) {
        ASSERT_TRUE(throttle.reserve("10.0.0.1", t, seconds(0), wait)) << i;
    }
    EXPECT_FALSE(throttle.reserve("10.0.0.1", t, seconds(0), wait)) << "beyond the burst the answer waits";
    EXPECT_EQ(milliseconds(100), wait);
}

TEST(FailureThrottleTest, ManyAddressesTogetherGetAHundredASecondAndRefusalsReserveNothing) {
    FailureThrottle throttle;
    Clock::time_point t{seconds(1000)};
    int answered = 0;
    const Clock::time_point end = t + seconds(5);
    // Each attempt from a new address: only the overall budget paces them.
    for (int i = 0;; ++i) {
        Clock::duration wait{};
        ASSERT_TRUE(throttle.reserve("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), t, seconds(10), wait));
        if (t + wait > end) break;
        t += wait;
        ++answered;
    }
    EXPECT_EQ(FailureThrottle::kOverallBurst + FailureThrottle::kOverallPerSecond * 5, answered);

    // An attempt that would wait too long reserves nothing: the next one is
    // not pushed further out by it.
    FailureThrottle fresh;
    Clock::time_point u{seconds(1000)};
    Clock::duration wait{};
    for (int i = 0; i < FailureThrottle::kBurst; ++i) ASSERT_TRUE(fresh.reserve("a", u, seconds(0), wait));
    for (int i = 0; i < 50; ++i) EXPECT_FALSE(fresh.reserve("a", u, milliseconds(50), wait));
    ASSERT_TRUE(fresh.reserve("a", u, seconds(1), wait));
    EXPECT_EQ(milliseconds(100), wait);
}

TEST(AddressLogLimiterTest, OneLinePerAddressPerPeriodWithTheCountHeldBack) {
    AddressLogLimiter limiter(seconds(60));
    Clock::time_point t{seconds(1000)};
    uint64_t held = 99;
    EXPECT_TRUE(limiter.due("10.0.0.1", t, held));
    EXPECT_EQ(0u, held);
    for (int i = 0; i < 500; ++i) EXPECT_FALSE(limiter.due("10.0.0.1", t + seconds(i % 60), held));
    EXPECT_TRUE(limiter.due("10.0.0.2", t + seconds(1), held)) << "addresses are counted apart";
    EXPECT_TRUE(limiter.due("10.0.0.1", t + seconds(60), held));
    EXPECT_EQ(500u, held);
    EXPECT_FALSE(limiter.due("10.0.0.1", t + seconds(61), held));
}

TEST(HandshakeLogTest, FailedAcceptTracesBecomeOneLineNamingPeerAndReason) {
    std::string address;
    EXPECT_EQ("refused ssl connection from 10.1.2.3:43726: ProtocolException before it was set up",
              logserver::HandshakeLog::refusalOf("failed to accept ssl connection\nlocal address = 127.0.0.1:12998\n"
                                                 "remote address = 10.1.2.3:43726\n"
                                                 "src/IceSSL/OpenSSLTransceiverI.cpp:413: ::Ice::ProtocolException:\n"
                                                 "protocol exception:\nSSL error occurred for new incoming connection:\n"
                                                 "local address = 127.0.0.1:12998\nremote address = 10.1.2.3:43726\n",
                                                 address));
    EXPECT_EQ("10.1.2.3", address);
    EXPECT_EQ("", logserver::HandshakeLog::refusalOf("trying to accept ssl connection\nremote address = 10.1.2.3:1\n", address));
    EXPECT_EQ("", logserver::HandshakeLog::refusalOf("accepted ssl connection\nremote address = 10.1.2.3:1\n", address));
}

}  // namespace
