// The upload cycle and server selection without a server: which segment is
// current, which is dropped as out of date, when the file is reset, what is
// sent and what the answers do. The uploader is driven directly on the test
// thread over a recording channel; writeTime follows the manual clock.
#include <gtest/gtest.h>

#include <vector>

#include "NQClock.h"
#include "NQLog.h"
#include "logServerCmds.h"
#include "testSupport.h"
#include "upload/logRptUploader.h"

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

struct SentCmd {
    int cmdId;
    std::string json;
    NQVariantMap cookie;
};

// What became of a channel the uploader was given.
struct ChannelEnd {
    bool disconnected = false;  // the connection was ended for every owner
    bool released = false;      // the uploader let go of the channel
};

// Records what is sent and how the channel ended.
class RecordingChannel : public logCmdChannel {
public:
    RecordingChannel(std::vector<SentCmd>& sent, ChannelEnd* end = nullptr) : sent_(sent), end_(end) {}
    ~RecordingChannel() override {
        if (end_ != nullptr) end_->released = true;
    }
    void sendCmd(int cmdId, const std::string& json, const NQByteArray&, const NQVariant& cookie) override {
        sent_.push_back({cmdId, json, cookie.toMap()});
    }
    void disconnect() override {
        if (end_ != nullptr) end_->disconnected = true;
    }

private:
    std::vector<SentCmd>& sent_;
    ChannelEnd* end_;
};

// Counts the slots the uploader asks for; they do nothing.
class CountingReceiver : public logUploadReceiver {
public:
    CountingReceiver() : logUploadReceiver("CountingReceiver") {}
    NQMsgFuncBase* answerSlot(bool) override { return ++answerSlots, new NQMsgHander<CountingReceiver>(this, &CountingReceiver::none); }
    NQMsgFuncBase* selectSlot(bool) override { return ++selectSlots, new NQMsgHander<CountingReceiver>(this, &CountingReceiver::none); }
    void none() {}
    int answerSlots = 0;
    int selectSlots = 0;
};

std::shared_ptr<NQMsg> answer(const char* cmdType) {
    auto msg = std::make_shared<NQMsg>();
    NQVariantMap cookie;
    cookie["cmdType"] = cmdType;
    msg->params["Cookie"] = NQVariant(cookie);
    msg->params["ErrDesc"] = "refused";
    return msg;
}

class UploadCycle : public ::testing::Test {
protected:
    void SetUp() override {
        NQClock::useManual(kT0 * 1000);
        file.open_rptFile(logger);
        file.load_logHeader();
        up.setStarted(true);
    }
    void TearDown() override { NQClock::useReal(); }

    // Queues a record of the type's own kind, so that reading it never runs
    // past its segment; an unknown type gets an error-log record.
    void queueAt(int64_t seconds, int type) {
        NQClock::setWallMs(seconds * 1000);
        ASSERT_EQ(file.save_logSegment(type, recordOf(type)), storeStatus::ok);
    }
    const streamObj& recordOf(int type) {
        detail.confId = 1;
        detail.filename = "a/b.log";
        detail.data = NQByteArray(std::string("piece"));
        dump.version = "5.2.1";
        dump.data = NQByteArray(std::string("dump"));
        user.contact = "a@example.org";
        error.data = NQByteArray(std::string("error"));
        switch (type) {
        case segDetailLog: return detail;
        case segDumpLog: return dump;
        case segUserReport: return user;
        default: return error;
        }
    }
    void runAt(int64_t seconds) {
        NQClock::setWallMs(seconds * 1000);
        up.runReport();
    }
    // What a success answer does to the store: confirms the segment last handed out.
    void confirmHead() {
        ASSERT_TRUE(up.awaitedSegment());
        EXPECT_EQ(file.confirm_logSegment(*up.awaitedSegment()), storeStatus::ok);
    }
    int64_t rptSize() const { return testsupport::fileSize(dir.file("client.log.rpt")); }
    void useRecorder(ChannelEnd* end = nullptr) { up.useChannel(std::make_unique<RecordingChannel>(sent, end)); }

    testsupport::LogCapture log;
    testsupport::TempDir dir;
    FixedPathLog logger{dir.file("client.log")};
    logRptFile file;
    CountingReceiver receiver;
    logRptUploader up{file, receiver};
    std::vector<SentCmd> sent;
    errLogInfo error;
    detailLogInfo detail;
    FatalLogInfo dump;
    userReport user;
};

TEST_F(UploadCycle, WithoutConnectionTheSameSegmentIsTriedEachTime) {
    queueAt(kT0, segErrLog);
    runAt(kT0 + 10);
    runAt(kT0 + 20);
    EXPECT_EQ(log.count("slot_runReport: reportErrlog(index=0, total=1, pos=20)"), 2);
    EXPECT_FALSE(up.isSending());
    EXPECT_EQ(file.header().index, 0);
    // Every type says what it would have sent.
    file.reset_rptFile();
    queueAt(kT0, segDetailLog);
    runAt(kT0);
    queueAt(kT0, segDumpLog);
    queueAt(kT0, segUserReport);
    const std::pair<const char*, int> kinds[] = {
        {"reportDetail", segDetailLog}, {"reportDumplog", segDumpLog}, {"repportUserRep", segUserReport}};
    for (const auto& [kind, type] : kinds) {
        EXPECT_EQ(log.countPrefix(std::string("slot_runReport: ") + kind + "(index="), 1) << kind;
        ASSERT_TRUE(up.awaitedSegment());
        EXPECT_EQ(up.awaitedSegment()->record.type, type);
        EXPECT_EQ(up.awaitedSegment()->position, file.header().position);
        confirmHead();
        runAt(kT0);
    }
    EXPECT_EQ(rptSize(), 20) << "all three confirmed: the emptied queue is reset";
}

TEST_F(UploadCycle, ErrorLogGoesOutWithEmptyJsonAndItsContextAndOneAtATime) {
    queueAt(kT0, segErrLog);
    queueAt(kT0, segErrLog);
    useRecorder();
    runAt(kT0);
    runAt(kT0);  // the answer is awaited: nothing more goes out
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].cmdId, kCmdReportLog);
    EXPECT_EQ(sent[0].json, "");
    EXPECT_EQ(sent[0].cookie.size(), 2u);
    EXPECT_EQ(sent[0].cookie["TermID"].type(), NQVariant::Int);
    EXPECT_EQ(sent[0].cookie["TermID"].toInt(), 0);
    EXPECT_EQ(sent[0].cookie["cmdType"].toString(), "reportLog");
    const int32_t firstLength = file.header().fileSize / 2 - 10;
    file.load_logHeader();  // startReport while the answer is awaited: the header on disk says position 0
    up.reportRspSuc(answer("reportLog"));
    EXPECT_EQ(log.count("slot_reportRspSuc:type:reportLog"), 1);
    EXPECT_EQ(file.header().index, 1);
    EXPECT_EQ(file.header().position, 20 + firstLength) << "the next segment starts after the confirmed one";
    EXPECT_EQ(sent.size(), 2u) << "a success sends the next at once";
    up.reportRspSuc(answer("reportLog"));
    EXPECT_EQ(rptSize(), 20) << "the emptied queue is reset at the next run";
}

TEST_F(UploadCycle, ReplacedConnectionDropsTheAwaitedAnswer) {
    queueAt(kT0, segErrLog);
    ChannelEnd end;
    useRecorder(&end);
    runAt(kT0);
    ASSERT_TRUE(up.isSending());
    // An empty result keeps what there is.
    up.logSvrSelected(std::make_shared<NQMsg>());
    EXPECT_EQ(log.count("selected log server failed !"), 1);
    EXPECT_TRUE(up.isSending());
    EXPECT_FALSE(end.released);

    auto first = std::make_shared<NQConnection>(NQConnection::Ice_Type, "first");
    auto selected = std::make_shared<NQMsg>();
    selected->params["prx"].setCustom(first);
    up.logSvrSelected(selected);
    EXPECT_TRUE(end.disconnected && end.released) << "the old channel is gone with its answer";
    EXPECT_FALSE(up.isSending());
    EXPECT_EQ(receiver.answerSlots, 8) << "success and failure of four commands";
    auto second = std::make_shared<NQMsg>();
    second->params["prx"].setCustom(std::make_shared<NQConnection>(NQConnection::Ice_Type, "second"));
    up.logSvrSelected(second);
    EXPECT_EQ(first->emitSignal(kCmdReportLog, new NQMsg), 0) << "a late answer of a replaced connection reaches no one";
}

// A failure ends the connection; the worker going away only lets go of it.
TEST_F(UploadCycle, FailureDisconnectsButDestructionOnlyReleases) {
    ChannelEnd failed;
    useRecorder(&failed);
    up.reportRspFailed(answer("reportLog"));
    EXPECT_TRUE(failed.disconnected);
    EXPECT_TRUE(failed.released);

    ChannelEnd kept;
    {
        logRptUploader leaving{file, receiver};
        leaving.useChannel(std::make_unique<RecordingChannel>(sent, &kept));
    }
    EXPECT_TRUE(kept.released);
    EXPECT_FALSE(kept.disconnected);
}

TEST_F(UploadCycle, SelectionNeedsAWellFormedListAndFallsBackOnlyWithASecondEntry) {
    up.setServerList("127.0.0.1:1;bad");
    EXPECT_EQ(log.count("logsvr info param err! (bad)"), 1);
    EXPECT_EQ(receiver.selectSlots, 0) << "no selection started";
    EXPECT_FALSE(up.setServerList("127.0.0.1:1;bad"));

    queueAt(kT0, segErrLog);
    up.setServerList("127.0.0.1:1");
    up.logSvrSelectFailed();
    EXPECT_EQ(log.countPrefix("Log.ClientLogServer:"), 0) << "a single entry gets no fallback connection";
    runAt(kT0);
    EXPECT_FALSE(up.isSending());

    up.setServerList("127.0.0.1:1;127.0.0.1:2");
    up.logSvrSelectFailed();
    EXPECT_EQ(log.countPrefix("Log.ClientLogServer:tcp -h 127.0.0.1 -p 1"), 1);
    runAt(kT0);
    EXPECT_TRUE(up.isSending());
    up.reportRspFailed(answer("reportLog"));
    EXPECT_EQ(log.count("slot_reportRspFailed:type:reportLog, err:refused"), 1);
    EXPECT_TRUE(up.isRetryPending());
    EXPECT_FALSE(up.isSending());
    EXPECT_EQ(file.header().index, 0);
}

TEST_F(UploadCycle, AnAnswerConfirmsNothingInAnotherLoggersFile) {
    queueAt(kT0, segErrLog);
    useRecorder();
    runAt(kT0);
    ASSERT_EQ(sent.size(), 1u);
    FixedPathLog other(dir.file("other.log"));
    logRptFile earlier;
    earlier.open_rptFile(other);
    earlier.load_logHeader();
    queueAt(kT0, segErrLog);  // into client.log.rpt, which now holds two
    ASSERT_EQ(earlier.save_logSegment(segErrLog, errLogInfo()), storeStatus::ok);
    earlier.close();

    file.open_rptFile(other);
    EXPECT_EQ(file.header().total, 1) << "the new file's own queue is loaded";
    up.reportRspSuc(answer("reportLog"));
    EXPECT_EQ(file.header().total, 1);
    EXPECT_EQ(file.header().index, 0) << "the answer belonged to the other file";
    EXPECT_EQ(sent.size(), 2u) << "the new file's head goes out";
    file.open_rptFile(logger);
    EXPECT_EQ(file.header().total, 2);
    EXPECT_EQ(file.header().index, 0) << "the unconfirmed segment is still queued";
}

TEST_F(UploadCycle, PositionPastTheEndWithSegmentsLeftResetsTheFile) {
    queueAt(kT0, segErrLog);
    const int32_t size = static_cast<int32_t>(rptSize());
    file.close();
    std::string bytes = testsupport::readFile(dir.file("client.log.rpt"));
    for (int32_t position : {size, size + 7}) {
        char field[4];
        encodeInt32(field, 5);
        bytes.replace(4, 4, field, 4);  // total 5, index 0
        encodeInt32(field, position);
        bytes.replace(12, 4, field, 4);
        testsupport::writeFile(dir.file("client.log.rpt"), bytes);
        file.open_rptFile(logger);
        ASSERT_EQ(file.header().position, position);
        runAt(kT0);
        EXPECT_EQ(rptSize(), 20) << position;
        file.close();
    }
    EXPECT_EQ(log.countPrefix("slot_runReport: report"), 0);
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
    confirmHead();
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
    EXPECT_EQ(file.header().total, 0);
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
    file.close();
    runAt(kT0 + 1);
    EXPECT_EQ(rptSize(), queued) << "a closed file's queue must survive";
    EXPECT_EQ(log.countPrefix("slot_runReport: report"), 0);
}

TEST_F(UploadCycle, NothingRunsWhileStoppedOrPaused) {
    queueAt(kT0, segErrLog);
    up.setStarted(false);
    runAt(kT0);
    EXPECT_EQ(log.countPrefix("slot_runReport:"), 0);
    up.setStarted(true);
    useRecorder();
    up.reportRspFailed(answer("reportLog"));  // pauses, drops the channel
    runAt(kT0);
    EXPECT_EQ(log.countPrefix("slot_runReport:"), 0);
    up.reportRspFailed(answer("reportLog"));
    EXPECT_EQ(log.countPrefix("slot_reportRspFailed:"), 2) << "a second failure starts no second pause";
}

TEST_F(UploadCycle, DamagedSegmentLengthResetsInsteadOfLooping) {
    queueAt(kT0, segErrLog);
    // Overwrite the first segment's length with 3.
    file.close();
    std::string bytes = testsupport::readFile(dir.file("client.log.rpt"));
    bytes.replace(20, 4, std::string("\x03\0\0\0", 4));
    testsupport::writeFile(dir.file("client.log.rpt"), bytes);
    file.open_rptFile(logger);
    runAt(kT0 + 1);
    EXPECT_EQ(rptSize(), 20);
    EXPECT_EQ(log.countPrefix("slot_runReport: report"), 0);
}

}  // namespace
