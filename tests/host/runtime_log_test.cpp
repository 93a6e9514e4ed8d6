// NQSDKCommonLog: the sink, its replacement, the default line and long texts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "NQClock.h"
#include "NQCommon.h"
#include "runtimeTestUtil.h"
#include "testSupport.h"

using NQBase::NQSDKCommonLog;
using NQBase::NQSetLogSink;

namespace {

class ScopedTZ {
public:
    explicit ScopedTZ(const char* tz) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTZ() {
        if (hadOld_) setenv("TZ", old_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

TEST(RuntimeLog, TheSinkGetsLevelModuleAndFormattedText) {
    testsupport::LogCapture log;
    NQSDKCommonLog(2, "LogReport", "handMsg unknown:_type:%d", 13);
    NQSDKCommonLog(1, "LogReport", "setlogSvrInfo:%s", "10.0.0.1:8000");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_EQ(lines[0].module, "LogReport");
    EXPECT_EQ(lines[0].text, "handMsg unknown:_type:13");
    EXPECT_EQ(lines[1].level, 1);
    EXPECT_EQ(lines[1].text, "setlogSvrInfo:10.0.0.1:8000");
}

TEST(RuntimeLog, ALongTextIsNotTruncated) {
    testsupport::LogCapture log;
    std::string big(100000, 'x');
    NQSDKCommonLog(1, "LogReport", "setlogSvrInfo:%s|end", big.c_str());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].text, "setlogSvrInfo:" + big + "|end");
}

TEST(RuntimeLog, TheDefaultSinkWritesOneDatedLineToStderr) {
    ScopedTZ tz("UTC0");
    NQBase::NQClock::useManual(1700000000123);
    NQSetLogSink(nullptr);
    ::testing::internal::CaptureStderr();
    NQSDKCommonLog(1, "LogReport", "LogReport, uninit...");
    NQSDKCommonLog(2, "LogReport", "id:%d", 7);
    NQSDKCommonLog(3, "LogReport", "setlogSvrInfo:logSvrInfo is Empty");
    std::string out = ::testing::internal::GetCapturedStderr();
    NQBase::NQClock::useReal();
    EXPECT_EQ(out,
              "2023-11-14 22:13:20.123 INFO [LogReport] LogReport, uninit...\n"
              "2023-11-14 22:13:20.123 WARN [LogReport] id:7\n"
              "2023-11-14 22:13:20.123 ERROR [LogReport] setlogSvrInfo:logSvrInfo is Empty\n");
}

TEST(RuntimeLog, LinesFromSeveralThreadsArriveWhole) {
    testsupport::LogCapture log;
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) NQSDKCommonLog(1, "LogReport", "thread %d line %d", t, i);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(log.lines().size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(log.count("thread 3 line 499"), 1);
    EXPECT_EQ(log.countPrefix("thread "), kThreads * kEach);
}

TEST(RuntimeLog, ReplacingTheSinkWaitsForACallInProgress) {
    std::atomic<int> order{0};
    int sinkLeftAt = -1;
    int replaceReturnedAt = -1;
    runtimetest::Gate entered, release;
    NQSetLogSink([&](int, const std::string&, const std::string&) {
        entered.open();
        release.wait();
        sinkLeftAt = order++;
    });
    std::thread logger([] { NQSDKCommonLog(1, "LogReport", "slow"); });
    ASSERT_TRUE(entered.wait());
    std::thread replacer([&] {
        NQSetLogSink(nullptr);
        replaceReturnedAt = order++;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a wrong replace would return now
    release.open();
    replacer.join();
    logger.join();
    EXPECT_LT(sinkLeftAt, replaceReturnedAt);
}

TEST(RuntimeLog, ASinkMayReplaceItselfWithoutDeadlock) {
    std::atomic<int> calls{0};
    NQSetLogSink([&](int, const std::string&, const std::string&) {
        ++calls;
        NQSetLogSink([](int, const std::string&, const std::string&) {});
    });
    NQSDKCommonLog(1, "LogReport", "first");
    NQSDKCommonLog(1, "LogReport", "second");
    NQSetLogSink(nullptr);
    EXPECT_EQ(calls.load(), 1);
}

}  // namespace
