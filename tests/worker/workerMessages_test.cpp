// The worker's handling of each message: settings stored and logged verbatim,
// bad messages answered by a log line, the nickname and company rules.
#include "workerFixture.h"

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

}  // namespace
