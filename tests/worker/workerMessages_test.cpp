// The worker's handling of each message: settings stored and logged verbatim,
// bad messages answered by a log line, the nickname and company rules.
#include "workerFixture.h"

#include "store/reportFileReader.h"
#include "worker/logReportThrdObj.h"

using namespace NQBase;
using workertest::CountingLog;

namespace {

class WorkerMessages : public workertest::WorkerOnThread {};

TEST_F(WorkerMessages, SettingsAreLoggedAsStored) {
    NQVariantMap init;
    init["appName"] = "client";
    init["clientVer"] = "5.2.1";
    init["PCID"] = "PC-7";
    init["timeoutMs"] = 60000;
    post(MSG_INIT, init);
    postText(MSG_LOCIP, "locIP", "10.0.0.8");
    NQVariantMap meet;
    meet["meetID"] = -5;
    post(MSG_MEETID, meet);
    postText(MSG_NICKNAME, "nikeName", "al/ice?");
    postText(MSG_COMPID, "compID", "ac:me");
    sync();
    EXPECT_EQ(log.count("logReportThrdObj::Init"), 1);
    EXPECT_EQ(log.count("setLocIP:10.0.0.8"), 1);
    EXPECT_EQ(log.count("setMeetInfo(meetID=-5)"), 1);
    EXPECT_EQ(log.count("setNickName:al_ice_"), 1);
    EXPECT_EQ(log.count("setCompID:ac_me"), 1);
}

TEST_F(WorkerMessages, BadMessagesGetALineAndNothingElse) {
    post(0);
    post(13);
    NQVariantMap wrongType;
    wrongType["locIP"] = 42;  // an int where a string belongs reads as empty
    post(MSG_LOCIP, wrongType);
    post(MSG_MEETID);  // missing key reads as 0
    post(MSG_LOGGER);  // no custom data: a null logger
    sync();
    EXPECT_EQ(log.count("handMsg unknown:_type:0"), 1);
    EXPECT_EQ(log.count("handMsg unknown:_type:13"), 1);
    EXPECT_EQ(log.count("setLocIP:"), 1);
    EXPECT_EQ(log.count("setMeetInfo(meetID=0)"), 1);
    EXPECT_EQ(log.countPrefix("slot_setLogger:"), 1);

    logReportThrdObj direct;
    direct.handMsg(nullptr, nullptr);
    EXPECT_EQ(log.count("handMsg:pMsgx nullptr"), 1);
    direct.timerMsg(987654);
    EXPECT_EQ(log.count("id:987654"), 1);
}

TEST_F(WorkerMessages, ServerListRules) {
    postText(MSG_LOGSVRINFO, "logSvrInfo", "");
    postText(MSG_LOGSVRINFO, "logSvrInfo", "127.0.0.1:1;127.0.0.1:2");
    postText(MSG_LOGSVRINFO, "logSvrInfo", "127.0.0.1:1;127.0.0.1:2");
    sync();
    EXPECT_EQ(log.count("setlogSvrInfo:"), 1);
    EXPECT_EQ(log.count("setlogSvrInfo:logSvrInfo is Empty"), 1);
    EXPECT_EQ(log.count("setlogSvrInfo:127.0.0.1:1;127.0.0.1:2"), 2);
    EXPECT_EQ(log.count("wait for log server selecting...(127.0.0.1:1;127.0.0.1:2)"), 1)
        << "the same list starts no second selection";
    postText(MSG_LOGSVRINFO, kKeyLogSvrInfo, "127.0.0.1:1;127.0.0.1");
    sync();
    EXPECT_EQ(log.count("logsvr info param err! (127.0.0.1)"), 1);
}

TEST_F(WorkerMessages, FirstNicknameCollectsNothingLaterOnesCollectFirst) {
    CountingLog logger(dir.file("client.log"));
    postLogger(&logger);
    post(MSG_STARTREPORT);
    postText(MSG_NICKNAME, "nikeName", "alice");
    postText(MSG_COMPID, "compID", "acme");
    sync();
    EXPECT_EQ(logger.detailCalls, 0);
    postText(MSG_NICKNAME, "nikeName", "bob");
    postText(MSG_COMPID, "compID", "other");
    sync();
    EXPECT_EQ(logger.detailCalls, 2);
    EXPECT_EQ(logger.errCalls, 0);
    NQVariantMap meet;
    meet["meetID"] = 7;
    post(MSG_MEETID, meet);
    post(MSG_MEETID, meet);  // the same id still collects
    sync();
    EXPECT_EQ(logger.errCalls, 2);
}

TEST_F(WorkerMessages, SameLoggerTwiceKeepsTheFileNullLoggerClosesIt) {
    CountingLog logger(dir.file("client.log"));
    postLogger(&logger);
    post(MSG_STARTREPORT);
    postLogger(&logger);
    post(MSG_LASTERRREP);
    sync();
    EXPECT_EQ(log.count("lastErrRep"), 1) << "the file stays open";
    postLogger(nullptr);
    post(MSG_LASTERRREP);
    sync();
    EXPECT_EQ(log.count("lastErrRep"), 1) << "a null logger closes the file";
}

// Every queued segment's decoded record, in file order.
std::vector<SegmentPayload> queuedIn(const std::string& rpt) {
    std::vector<SegmentPayload> out;
    for (const SegmentInfo& info : scanReportFile(rpt).segments) {
        if (info.consumed) continue;
        logSegment segment;
        out.emplace_back();
        EXPECT_TRUE(readSegmentRecord(rpt, info.offset, segment, out.back()));
    }
    return out;
}

NQVariantMap meetParam(int id) {
    NQVariantMap meet;
    meet[kKeyMeetID] = id;
    return meet;
}

TEST_F(WorkerMessages, SettingChangesQueueUnderTheOldValuesFirst) {
    setenv("TZ", "UTC", 1);
    tzset();
    CountingLog logger(dir.file("client.log"));
    NQVariantMap init;
    init[kKeyAppName] = "client";
    init[kKeyPCID] = "PC-7";
    post(MSG_INIT, init);
    postLogger(&logger);
    post(MSG_STARTREPORT);
    post(MSG_MEETID, meetParam(7));
    postText(MSG_LOCIP, kKeyLocIP, "10.0.0.8");
    postText(MSG_NICKNAME, kKeyNickName, "alice");  // the first nickname: nothing to collect yet
    sync();
    logger.give(1, "err\n");
    logger.give(2, "in meeting 7\n");
    post(MSG_MEETID, meetParam(2000));
    sync();
    logger.give(2, "as alice\n");
    postText(MSG_NICKNAME, kKeyNickName, "bob");
    postText(MSG_COMPID, kKeyCompID, "acme");  // the first company id: nothing to collect yet
    sync();
    logger.give(2, "at acme\n");
    postText(MSG_COMPID, kKeyCompID, "beta");
    userReportData report{"bob@example.org", "echo", {}};
    NQVariantMap udat;
    udat[kKeyUserReport].setCustom(report);
    post(MSG_USERREPORT, udat);  // in conference 2000, from 10.0.0.8
    sync();
    std::vector<SegmentPayload> segs = queuedIn(dir.file("client.log.rpt"));
    ASSERT_EQ(segs.size(), 5u);
    NQByteArray text;
    ASSERT_EQ(zlib_uncompress(segs[0].errLog.data, text), 0);
    EXPECT_NE(text.toStdString().find("conferenceID:7;"), std::string::npos);
    EXPECT_EQ(segs[1].detailLog.confId, 7);
    EXPECT_EQ(segs[1].detailLog.filename + " " + segs[2].detailLog.filename + " " + segs[3].detailLog.filename,
              "alic/alice_PC-7_client_0303.log alice_PC-7_client_0303.log acme/bob_PC-7_client_0303.log");
    ASSERT_EQ(zlib_uncompress(segs[3].detailLog.data, text), 0);
    EXPECT_EQ(text.toStdString(), "at acme\n");
    EXPECT_EQ(segs[4].type, segUserReport);
    EXPECT_EQ(segs[4].user.conferenceID, 0) << "a user report carries no conference";
    EXPECT_EQ(segs[4].user.clientIP, "");
}

TEST_F(WorkerMessages, QueueSurvivesNullLoggerStopStartAndALoggerSwitch) {
    CountingLog logger(dir.file("client.log"));
    CountingLog other(dir.file("other.log"));
    postLogger(&other);  // other.log.rpt gets a queue of its own
    post(MSG_STARTREPORT);
    postText(MSG_NICKNAME, kKeyNickName, "alice");
    sync();
    for (const char* text : {"a\n", "b\n", "c\n"}) {
        other.give(1, text);
        post(MSG_LASTERRREP);
        sync();
    }
    postLogger(&logger);
    post(MSG_STARTREPORT);
    sync();
    logger.give(1, "mine\n");
    logger.give(2, "detail\n");
    post(MSG_LASTERRREP);
    sync();
    EXPECT_EQ(log.countPrefix("rpt to:"), 1);
    const std::string rpt = dir.file("client.log.rpt");
    ASSERT_EQ(queuedIn(rpt).size(), 2u);
    const std::string queued = testsupport::readFile(rpt);

    postLogger(nullptr);
    post(MSG_STOPREPORT);
    post(MSG_STARTREPORT);
    sync();
    EXPECT_EQ(testsupport::readFile(rpt), queued) << "the stop and start kept the queue";
    postLogger(&other);
    other.give(1, "d\n");
    post(MSG_LASTERRREP);
    sync();
    const std::vector<SegmentPayload> others = queuedIn(dir.file("other.log.rpt"));
    EXPECT_EQ(others.size(), 4u) << "the switch loaded the file's own header before appending";
    EXPECT_EQ(scanReportFile(dir.file("other.log.rpt")).header.total, 4);

    // "rpt to:" is announced again after each start, and only then.
    postLogger(&logger);
    logger.give(2, "more\n");
    post(MSG_LASTERRREP);
    sync();
    EXPECT_EQ(log.countPrefix("rpt to:"), 2);
    logger.give(2, "still\n");
    post(MSG_LASTERRREP);
    sync();
    EXPECT_EQ(log.countPrefix("rpt to:"), 2);
    post(MSG_STARTREPORT);
    logger.give(2, "again\n");
    post(MSG_LASTERRREP);
    sync();
    EXPECT_EQ(log.countPrefix("rpt to:"), 3);
}

TEST_F(WorkerMessages, UserReportsQueueWhileTheFileIsOpenOnlyAndWithoutDataAsEmptyOnes) {
    CountingLog logger(dir.file("client.log"));
    NQVariantMap udat;
    udat[kKeyUserReport].setCustom(userReportData{"a@example.org", "dropped", {}});
    post(MSG_USERREPORT, udat);  // no logger, no file
    postLogger(&logger);
    post(MSG_USERREPORT, udat);  // a logger, but no report file yet
    post(MSG_STARTREPORT);
    post(MSG_USERREPORT);  // no "udat": queued as an empty report
    NQVariantMap kept;
    kept[kKeyUserReport].setCustom(userReportData{"b@example.org", "kept", {}});
    post(MSG_USERREPORT, kept);
    post(MSG_STOPREPORT);
    post(MSG_USERREPORT, udat);  // the file is closed again
    post(MSG_STARTREPORT);
    sync();
    const std::vector<SegmentPayload> segs = queuedIn(dir.file("client.log.rpt"));
    ASSERT_EQ(segs.size(), 2u);
    EXPECT_EQ(segs[0].type, segUserReport);
    EXPECT_EQ(segs[0].user.contact + segs[0].user.content, "");
    EXPECT_TRUE(segs[0].user.attachments.empty());
    EXPECT_EQ(segs[0].user.client, "") << "stamped like any other";
    EXPECT_EQ(segs[1].user.contact + "|" + segs[1].user.content, "b@example.org|kept");
}

TEST_F(WorkerMessages, NullLoggerWithTheFileReopenedCollectsNothing) {
    CountingLog logger(dir.file("client.log"));
    postLogger(&logger);
    postText(MSG_NICKNAME, kKeyNickName, "alice");
    post(MSG_STARTREPORT);
    postLogger(nullptr);
    post(MSG_STARTREPORT);  // reopens the file at its path: open, with no logger
    sync();
    logger.give(1, "err\n");
    logger.give(2, "detail\n");
    post(MSG_LASTERRREP);
    NQVariantMap meet;
    meet[kKeyMeetID] = 9;
    post(MSG_MEETID, meet);
    postText(MSG_NICKNAME, kKeyNickName, "bob");
    sync();
    NQClock::advance(kReportIntervalMs);  // the dump tick and a report tick
    sync();
    EXPECT_EQ(log.count("lastErrRep"), 1) << "the file is open";
    EXPECT_EQ(logger.errCalls + logger.detailCalls, 0);
    EXPECT_TRUE(queuedIn(dir.file("client.log.rpt")).empty());
}

}  // namespace
