// NQLogReport as a client uses it: lifecycle, what each call reaches in the
// worker, calls outside Init/Uninit, shared ownership after assignment.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>

#include "NQLogReport.h"
#include "front/callTimeout.h"
#include "testSupport.h"

using NQBase::NQLogReport;

namespace {

const char* const kTeardown[] = {"LogReport, uninit...", "LogReport, thread stopping...", "LogReport, thread stopped."};

TEST(FrontEnd, InitThenUninitRunsTheWholeTeardownOnce) {
    testsupport::LogCapture log;
    NQLogReport report;
    report.Init("client", "1.0", "PC-1", -1, 0);
    report.Init("other", "2.0", "PC-2", 5, 0);  // ignored
    report.Uninit();
    report.Uninit();
    for (const char* line : kTeardown) EXPECT_EQ(log.count(line), 1) << line;
    EXPECT_EQ(log.count("logReportThrdObj::Init"), 1);
    EXPECT_EQ(log.count("logReportThrdObj::uninit..."), 1);
    EXPECT_EQ(log.count("stopReport"), 1);
    EXPECT_EQ(log.count("logReportThrdObj::uninit... end"), 1);

    const auto texts = log.texts();
    const auto pos = [&](const std::string& t) { return std::find(texts.begin(), texts.end(), t) - texts.begin(); };
    EXPECT_LT(pos("LogReport, uninit..."), pos("logReportThrdObj::uninit..."));
    EXPECT_LT(pos("logReportThrdObj::uninit... end"), pos("LogReport, thread stopped."));

    // The connection layer gets one minute for any negative value, and 0 (no
    // limit) or a positive value as it is.
    EXPECT_EQ(NQBase::callTimeoutMs(-1), 60000);
    EXPECT_EQ(NQBase::callTimeoutMs(INT_MIN), 60000);
    EXPECT_EQ(NQBase::callTimeoutMs(0), 0);
    EXPECT_EQ(NQBase::callTimeoutMs(5), 5);
    EXPECT_EQ(log.countPrefix("InitNQConnectionMgr: no time-out"), 0);
    report.Init("client", "1.0", "PC-1", 0, 0);
    report.Uninit();
    EXPECT_EQ(log.countPrefix("InitNQConnectionMgr: no time-out"), 1);
}

TEST(FrontEnd, CallsOutsideInitDoNothing) {
    testsupport::LogCapture log;
    {
        NQLogReport report;
        report.setLocIP("1.2.3.4");
        report.startReport();
        report.lastErrRep(50);
        report.Uninit();
        report.Init("client", "1.0", "PC-1", INT_MIN, 0);
        report.Uninit();
        report.setNickName("late");
    }  // destructor after Uninit: nothing more
    EXPECT_EQ(log.count("setLocIP:1.2.3.4"), 0);
    EXPECT_EQ(log.count("setNickName:late"), 0);
    EXPECT_EQ(log.countPrefix("lastErrRep"), 0);
    EXPECT_EQ(log.count("LogReport, thread stopped."), 1);
}

TEST(FrontEnd, EachCallReachesItsHandlerInOrder) {
    testsupport::LogCapture log;
    NQLogReport report;
    report.Init("client", "1.0", "PC-1", 1000, 0);
    report.setlogSvrInfo("");
    report.setLocIP("10.0.0.8");
    report.setMeetInfo(42);
    report.setNickName("alice");
    report.setCompID("acme");
    report.setLogger(nullptr);
    report.startReport();
    report.stopReport();
    report.Uninit();
    const std::vector<std::string> expected = {
        "logReportThrdObj::Init", "setlogSvrInfo:", "setlogSvrInfo:logSvrInfo is Empty", "setLocIP:10.0.0.8",
        "setMeetInfo(meetID=42)", "setNickName:alice", "setCompID:acme"};
    std::vector<std::string> seen;
    for (const auto& t : log.texts())
        if (std::find(expected.begin(), expected.end(), t) != expected.end()) seen.push_back(t);
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(log.countPrefix("slot_setLogger:"), 1);
    EXPECT_EQ(log.count("startReport"), 1);
    EXPECT_EQ(log.count("stopReport"), 2);  // the call, then uninit's own
}

TEST(FrontEnd, LastErrRepWaitsOnlyForPositiveTimes) {
    testsupport::LogCapture log;
    NQLogReport report;
    report.Init("client", "1.0", "PC-1", 1000, 0);
    report.lastErrRep(0);
    report.lastErrRep(-5);
    EXPECT_EQ(log.countPrefix("lastErrRep, wait:"), 0);
    const auto begin = std::chrono::steady_clock::now();
    report.lastErrRep(120);
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(waited, std::chrono::milliseconds(120));
    EXPECT_EQ(log.count("lastErrRep, wait:120ms"), 1);
}

TEST(FrontEnd, AssignmentSharesAndTearsDownOnce) {
    testsupport::LogCapture log;
    {
        NQLogReport first;
        first.Init("client", "1.0", "PC-1", 1000, 0);
        NQLogReport second;
        second = first;
        second = first;  // same implementation: no change
        first.Uninit();  // second still owns the worker
        EXPECT_EQ(log.count("LogReport, thread stopped."), 0);
        second.setLocIP("10.1.1.1");
        EXPECT_TRUE(log.waitFor("setLocIP:10.1.1.1"));
    }
    for (const char* line : kTeardown) EXPECT_EQ(log.count(line), 1) << line;

    NQLogReport a;
    NQLogReport b;
    a.Init("a", "1", "A", 0, 0);
    b.Init("b", "1", "B", 0, 0);
    a = b;  // a's own worker is torn down first
    EXPECT_EQ(log.count("LogReport, thread stopped."), 2);
}

TEST(FrontEnd, InitAgainAfterUninitStartsAFreshWorker) {
    testsupport::LogCapture log;
    NQLogReport report;
    for (int i = 0; i < 3; ++i) {
        report.Init("client", "1.0", "PC-1", 1000, 0);
        report.setlogSvrInfo("127.0.0.1:1;127.0.0.1:2");
        report.Uninit();
    }
    // Each worker starts with an empty list, so each sees the list as new.
    EXPECT_EQ(log.count("wait for log server selecting...(127.0.0.1:1;127.0.0.1:2)"), 3);
    EXPECT_EQ(log.count("LogReport, thread stopped."), 3);
}

}  // namespace
