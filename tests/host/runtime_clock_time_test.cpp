// The runtime's clock, calendar time, and the log call whose default line they date.
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "NQTime.h"
#include "runtimeTestUtil.h"

namespace NQClock = NQBase::NQClock;
using NQBase::FormatTimeStr;
using NQBase::NQSDKCommonLog;
using NQBase::NQSetLogSink;

namespace {

constexpr int64_t kWallStart = 1700000000123;  // 2023-11-14 22:13:20.123 UTC

TEST(RuntimeClock, TheManualClockMovesOnlyWhenToldAndUseRealRestoresSystemTime) {
    NQClock::useManual(kWallStart);
    EXPECT_TRUE(NQClock::isManual());
    EXPECT_EQ(NQBase::GetCurrentSystemTime(), kWallStart);
    const int64_t steady = NQClock::steadyMs();
    NQClock::advance(1500);
    EXPECT_EQ(NQClock::steadyMs(), steady + 1500);
    EXPECT_EQ(NQBase::nq_time64(), (kWallStart + 1500) / 1000);
    NQClock::setWallMs(kWallStart + 604800000);  // calendar time only
    EXPECT_EQ(NQClock::wallMs(), kWallStart + 604800000);
    EXPECT_EQ(NQClock::steadyMs(), steady + 1500);
    NQClock::setWallMs(-1);
    EXPECT_EQ(NQBase::nq_time64(), -1);  // rounded down before 1970
    NQClock::useReal();
    EXPECT_FALSE(NQClock::isManual());
    NQClock::advance(100000);  // no effect on real time
    EXPECT_NEAR(NQClock::wallMs() / 1000.0, static_cast<double>(std::time(nullptr)), 2.0);
}

TEST(RuntimeTime, FormatTimeStrInUtcAndInTheLocalZone) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    // A zone text both C runtimes read alike: the Windows one knows no
    // transition rules and applies its own, which agree on these two dates.
    setenv("TZ", "CET-1CEST", 1);
    tzset();
    EXPECT_EQ(FormatTimeStr(0, false), "1970-01-01 00:00:00");
    EXPECT_EQ(FormatTimeStr(951782400, false), "2000-02-29 00:00:00");
    EXPECT_EQ(FormatTimeStr(4102444799, false), "2099-12-31 23:59:59");  // past 2038
    EXPECT_EQ(FormatTimeStr(32535215999, false), "3000-12-31 23:59:59");  // the last time Windows takes
    EXPECT_EQ(FormatTimeStr(32535216000, false), "");
    EXPECT_EQ(FormatTimeStr(-1, true), "");
    EXPECT_EQ(FormatTimeStr(1700000000, true), "2023-11-14 23:13:20");   // winter, +1
    EXPECT_EQ(FormatTimeStr(1690000000, true), "2023-07-22 06:26:40");   // summer, +2
    std::tm parts{};
    EXPECT_TRUE(NQBase::nq_localtime64(1700000000, &parts));
    EXPECT_EQ(parts.tm_hour, 23);
    EXPECT_EQ(parts.tm_isdst, 0);
    EXPECT_FALSE(NQBase::nq_localtime64(0, nullptr));
    EXPECT_DOUBLE_EQ(NQBase::nq_difftime64(4, 10), -6.0);
    oldTz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST(RuntimeLog, TheSinkGetsLevelModuleAndTheWholeText) {
    testsupport::LogCapture log;
    std::string big(100000, 'x');
    NQSDKCommonLog(2, "Other", "setlogSvrInfo:%s|%d", big.c_str(), 13);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, 2);
    EXPECT_EQ(log.lines()[0].module, "Other");
    EXPECT_EQ(log.lines()[0].text, "setlogSvrInfo:" + big + "|13");
}

TEST(RuntimeLog, TheDefaultSinkWritesOneLocallyDatedLineToStderr) {
    NQClock::useManual(kWallStart);
    NQSetLogSink(nullptr);
    ::testing::internal::CaptureStderr();
    NQSDKCommonLog(1, "LogReport", "LogReport, uninit...");
    NQSDKCommonLog(2, "LogReport", "id:%d", 7);
    NQSDKCommonLog(3, "LogReport", "setlogSvrInfo:logSvrInfo is Empty");
    std::string out = ::testing::internal::GetCapturedStderr();
    NQClock::useReal();
    const std::string at = FormatTimeStr(kWallStart / 1000, true) + ".123 ";
    EXPECT_EQ(out, at + "INFO [LogReport] LogReport, uninit...\n" + at + "WARN [LogReport] id:7\n" + at +
                       "ERROR [LogReport] setlogSvrInfo:logSvrInfo is Empty\n");
}

TEST(RuntimeLog, ReplacingTheSinkWaitsForACallInProgress) {
    std::atomic<int> order{0};
    int sinkLeftAt = -1, replaceReturnedAt = -1;
    NQBase::NQSemaphore entered, release;
    NQSetLogSink([&](int, const std::string&, const std::string&) {
        entered.signal();
        release.wait(runtimetest::kLimitMs);
        sinkLeftAt = order++;
    });
    std::thread logger([] { NQSDKCommonLog(1, "LogReport", "slow"); });
    ASSERT_TRUE(entered.wait(runtimetest::kLimitMs));
    std::thread replacer([&] {
        NQSetLogSink(nullptr);
        replaceReturnedAt = order++;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a wrong replace would return now
    release.signal();
    replacer.join();
    logger.join();
    EXPECT_LT(sinkLeftAt, replaceReturnedAt);
}

TEST(RuntimeLog, ASinkMayReplaceItselfAndOneThatThrowsOnlyLosesItsLine) {
    std::atomic<int> calls{0};
    NQSetLogSink([&](int, const std::string&, const std::string&) {
        ++calls;
        NQSetLogSink([](int, const std::string&, const std::string&) { throw std::runtime_error("sink"); });
    });
    NQSDKCommonLog(1, "LogReport", "first");
    EXPECT_NO_THROW(NQSDKCommonLog(1, "LogReport", "second"));
    NQSetLogSink(nullptr);
    EXPECT_EQ(calls.load(), 1);
}

}  // namespace
