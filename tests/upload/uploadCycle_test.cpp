// The upload cycle's walk over the queue without a server: which segment is
// current, which is dropped as out of date, when the file is reset. The worker
// is driven directly on the test thread; writeTime follows the manual clock.
#include <gtest/gtest.h>

#include "NQClock.h"
#include "NQLog.h"
#include "testSupport.h"
#include "worker/logReportThrdObj.h"

using namespace NQBase;

namespace {

constexpr int64_t kT0 = 1772539200LL;  // seconds, 2026-03-03 12:00:00 UTC
constexpr int64_t kDay = 86400;

class FixedPathLog : public NQLog {
public:
    explicit FixedPathLog(std::string path) : path_(std::move(path)) {}
    void GetInitData(LogInitData& data) override { data.logFilePath = path_; }
    bool GetLogFileDat(int, std::string&, bool) override { return false; }

private:
    std::string path_;
};

class UploadCycle : public ::testing::Test {
protected:
    void SetUp() override {
        NQClock::useManual(kT0 * 1000);
        worker.slot_setLogger(&logger);
        worker.load_logHeader();
        worker.started = true;
    }
    void TearDown() override { NQClock::useReal(); }

    void queueAt(int64_t seconds, int type) {
        NQClock::setWallMs(seconds * 1000);
        if (type == segDetailLog) {
            detailLogInfo record;
            record.confId = 1;
            record.filename = "a/b.log";
            record.data = NQByteArray(std::string("piece"));
            ASSERT_TRUE(worker.save_logSegment(type, record));
        } else {
            errLogInfo record;
            record.data = NQByteArray(std::string("error"));
            ASSERT_TRUE(worker.save_logSegment(type, record));
        }
    }
    void runAt(int64_t seconds) {
        NQClock::setWallMs(seconds * 1000);
        worker.slot_runReport();
    }
    int64_t rptSize() const { return testsupport::fileSize(dir.file("client.log.rpt")); }

    testsupport::LogCapture log;
    testsupport::TempDir dir;
    FixedPathLog logger{dir.file("client.log")};
    logReportThrdObj worker;
};

TEST_F(UploadCycle, WithoutConnectionTheSameSegmentIsTriedEachTime) {
    queueAt(kT0, segErrLog);
    runAt(kT0 + 10);
    runAt(kT0 + 20);
    EXPECT_EQ(log.count("slot_runReport: reportErrlog(index=0, total=1, pos=20)"), 2);
    EXPECT_FALSE(worker.sending);
    EXPECT_EQ(worker.rptHeader.index, 0);
}

TEST_F(UploadCycle, DetailLogAgeLimitIsSevenDaysInclusive) {
    queueAt(kT0, segDetailLog);
    runAt(kT0 + 7 * kDay);
    EXPECT_EQ(log.count("slot_runReport: reportDetail(index=0, total=1, pos=20)"), 1);
    runAt(kT0 + 7 * kDay + 1);
    EXPECT_EQ(log.countPrefix("slot_runReport: segment out of date, type 1:  write time: "), 1);
    EXPECT_EQ(rptSize(), 20) << "the emptied queue is reset";
}

TEST_F(UploadCycle, ErrorLogOfEightDaysIsStillSent) {
    queueAt(kT0, segErrLog);
    runAt(kT0 + 8 * kDay);
    EXPECT_EQ(log.count("slot_runReport: reportErrlog(index=0, total=1, pos=20)"), 1);
    runAt(kT0 + 14 * kDay + 1);
    EXPECT_EQ(log.countPrefix("slot_runReport: segment out of date, type 0:"), 1);
}

TEST_F(UploadCycle, WriteTimeUpToOneDayAheadIsAccepted) {
    queueAt(kT0 + kDay, segErrLog);
    runAt(kT0);
    EXPECT_EQ(log.count("slot_runReport: reportErrlog(index=0, total=1, pos=20)"), 1);
    worker.confirm_logSegment();
    queueAt(kT0 + kDay + 1, segErrLog);
    runAt(kT0);
    EXPECT_EQ(log.countPrefix("slot_runReport: segment out of date, type 0:"), 1);
    EXPECT_EQ(rptSize(), 20);
}

TEST_F(UploadCycle, AllOutOfDateAreDroppedOneLineEachThenReset) {
    queueAt(kT0, segErrLog);
    queueAt(kT0, segDetailLog);
    queueAt(kT0, segErrLog);
    runAt(kT0 + 15 * kDay);
    EXPECT_EQ(log.countPrefix("slot_runReport: segment out of date"), 3);
    EXPECT_EQ(log.countPrefix("slot_runReport: report"), 0);
    EXPECT_EQ(rptSize(), 20);
    EXPECT_EQ(worker.rptHeader.total, 0);
}

TEST_F(UploadCycle, UnknownTypeEmptiesTheQueueUnlessOutOfDate) {
    queueAt(kT0, 7);
    runAt(kT0 + 1);
    EXPECT_EQ(log.count("slot_runReport: logSegment type err: type: 7"), 1);
    EXPECT_EQ(rptSize(), 20);

    queueAt(kT0, 7);
    runAt(kT0 + 15 * kDay);
    EXPECT_EQ(log.count("slot_runReport: logSegment type err: type: 7"), 1);
    EXPECT_EQ(log.countPrefix("slot_runReport: segment out of date, type 7:"), 1);
}

TEST_F(UploadCycle, HeaderOnlyFileIsResetAndClosedFileIsLeftAlone) {
    runAt(kT0);
    EXPECT_EQ(rptSize(), 20);
    queueAt(kT0, segErrLog);
    const int64_t queued = rptSize();
    worker.rptFile.Close();
    runAt(kT0 + 1);
    EXPECT_EQ(rptSize(), queued) << "a closed file's queue must survive";
    EXPECT_EQ(log.countPrefix("slot_runReport: report"), 0);
}

TEST_F(UploadCycle, NothingRunsWhileStoppedSendingOrPaused) {
    queueAt(kT0, segErrLog);
    worker.started = false;
    runAt(kT0);
    worker.started = true;
    worker.sending = true;
    runAt(kT0);
    worker.sending = false;
    worker.retryPending = true;
    runAt(kT0);
    EXPECT_EQ(log.countPrefix("slot_runReport:"), 0);
}

TEST_F(UploadCycle, DamagedSegmentLengthResetsInsteadOfLooping) {
    queueAt(kT0, segErrLog);
    // Overwrite the first segment's length with 3.
    worker.rptFile.Seek(20, SEEK_TYPE_BEGIN);
    const char three[4] = {3, 0, 0, 0};
    worker.rptFile.WriteData(three, 4);
    worker.rptFile.FlushBuffers();
    runAt(kT0 + 1);
    EXPECT_EQ(rptSize(), 20);
    EXPECT_EQ(log.countPrefix("slot_runReport: report"), 0);
}

}  // namespace
