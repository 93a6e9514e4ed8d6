// When the worker collects: the dump tick 1 s after startReport, the report tick
// every 60 s, nothing while the report file is closed, one schedule after a
// second startReport. Time is the manual clock; nothing sleeps.
#include "workerFixture.h"

#include "NQClock.h"

using namespace NQBase;
using workertest::CountingLog;

namespace {

class WorkerTimers : public workertest::WorkerOnThread {
protected:
    void startWithLogger(CountingLog& logger) {
        postLogger(&logger);
        postText(MSG_NICKNAME, "nikeName", "alice");
        post(MSG_STARTREPORT);
        sync();
    }
};

TEST_F(WorkerTimers, DumpTickAfterOneSecondThenReportTickEveryMinute) {
    CountingLog logger(dir.file("client.log"));
    startWithLogger(logger);

    NQClock::advance(999);
    EXPECT_EQ(logger.errCalls, 0);
    NQClock::advance(1);
    EXPECT_EQ(logger.errCalls, 1);
    EXPECT_EQ(logger.detailCalls, 1);
    EXPECT_EQ(log.count("logPath:" + dir.path() + "/"), 1);

    NQClock::advance(59000);
    EXPECT_EQ(logger.errCalls, 2);
    NQClock::advance(120000);
    EXPECT_EQ(logger.errCalls, 4);
    EXPECT_EQ(log.count("logPath:" + dir.path() + "/"), 1) << "the dump scan runs once per start";
}

TEST_F(WorkerTimers, SecondStartLeavesOneReportSchedule) {
    CountingLog logger(dir.file("client.log"));
    startWithLogger(logger);
    NQClock::advance(30000);  // dump tick at 1 s
    post(MSG_STARTREPORT);
    sync();
    // New schedule: dump tick at 31 s, report ticks at 90 s and 150 s. The
    // first schedule's ticks at 60 s and 120 s must not come.
    NQClock::advance(100000);
    EXPECT_EQ(logger.errCalls, 3);
    EXPECT_EQ(log.count("startReport"), 2);
}

TEST_F(WorkerTimers, StopReportEndsCollectionAndDumpTickFindsFileClosed) {
    CountingLog logger(dir.file("client.log"));
    startWithLogger(logger);
    post(MSG_STOPREPORT);
    sync();
    NQClock::advance(180000);
    EXPECT_EQ(logger.errCalls, 0);
    EXPECT_EQ(log.count("logPath:" + dir.path() + "/"), 0);
}

TEST_F(WorkerTimers, TicksWithoutLoggerDoNothing) {
    post(MSG_STARTREPORT);
    sync();
    NQClock::advance(61000);
    EXPECT_EQ(log.countPrefix("logPath:"), 0);
    EXPECT_EQ(log.countPrefix("save_logSegment"), 0);
}

TEST_F(WorkerTimers, LastErrRepCollectsOnlyWithOpenFile) {
    CountingLog logger(dir.file("client.log"));
    post(MSG_LASTERRREP);
    sync();
    EXPECT_EQ(log.count("lastErrRep"), 0);

    startWithLogger(logger);
    post(MSG_LASTERRREP);
    sync();
    EXPECT_EQ(log.count("lastErrRep"), 1);
    EXPECT_EQ(logger.errCalls, 1);
    EXPECT_EQ(logger.detailCalls, 1);
}

}  // namespace
