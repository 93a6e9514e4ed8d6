#include "collectFixture.h"

using namespace NQBase;
using collecttest::CollectTest;
using collecttest::inflate;

namespace {

// Lines of varying length, like a running log.
std::string logLines(size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; ++i) text += "line " + std::to_string(i) + std::string(i % 50, '.') + "\n";
    text.resize(size);
    return text;
}

}  // namespace

TEST_F(CollectTest, ErrorLogIsOneSegmentOfRuleHeaderAndText) {
    w.meetID = -5;
    const std::string text = logLines(300000);
    log.pending[1] = {text};
    w.collect_errLog();
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(segs[0].type, segErrLog);
    EXPECT_EQ(inflate(segs[0].errLog.data),
              "--------------------\n"
              "version:5.2.1;client:PC-7;clientIP:;module:client;conferenceID:-5;termID:0;\n" + text);
}

TEST_F(CollectTest, NoTextOrNoLoggerQueuesNothing) {
    w.nickName = "alice";
    w.collect_errLog();
    w.collect_detailLog();
    EXPECT_EQ(log.asked[1], 1);
    w.logger = nullptr;
    log.pending[1] = {"x\n"};
    w.collect_errLog();
    EXPECT_EQ(log.asked[1], 1);
    EXPECT_TRUE(queued().empty());
}

TEST_F(CollectTest, DetailPiecesEndAtTheFirstLineFeedPastTheMinimum) {
    struct Case { std::string text; std::vector<size_t> pieces; };
    std::string oneFeedAt70000(100000, 'a');
    oneFeedAt70000[70000] = '\n';
    std::string endsInFeed(61441, 'b');
    endsInFeed.back() = '\n';
    const std::vector<Case> cases = {
        {logLines(61440), {61440}},
        {endsInFeed, {61441}},
        {oneFeedAt70000, {70001, 29999}},
        {std::string(200000, 'c'), {200000}},
    };
    w.nickName = "alice";
    size_t seen = 0;
    for (const Case& c : cases) {
        log.pending[2] = {c.text};
        w.collect_detailLog();
        std::vector<SegmentPayload> segs = queued();
        ASSERT_EQ(segs.size(), seen + c.pieces.size()) << c.text.size();
        std::string joined;
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            const std::string piece = inflate(segs[seen + i].detailLog.data);
            EXPECT_EQ(piece.size(), c.pieces[i]) << c.text.size();
            joined += piece;
        }
        EXPECT_EQ(joined, c.text);
        seen = segs.size();
    }
}

TEST_F(CollectTest, DetailFileNameFolderFollowsCompanyThenMeeting) {
    struct Case { std::string comp; int meet; std::string nick; std::string name; };
    const std::vector<Case> cases = {
        {"", 0, "alice", "alic/alice_PC-7_client_0303.log"},
        {"acme", 123456, "alice", "acme/alice_PC-7_client_0303.log"},
        {"", 999, "alice", "alic/alice_PC-7_client_0303.log"},
        {"", 1000, "alice", "alice_PC-7_client_0303.log"},
        {"", -3, "al", "al/al_PC-7_client_0303.log"},
    };
    for (const Case& c : cases) {
        w.compID = c.comp;
        w.meetID = c.meet;
        w.nickName = c.nick;
        EXPECT_EQ(w.detailLogFileName(), c.name);
    }
}

TEST_F(CollectTest, DetailNameChangesAtLocalMidnightAndIsAnnouncedOnlyThen) {
    NQClock::setWallMs(collecttest::kMarch3NoonMs + 12 * 3600 * 1000 - 1000);  // 23:59:59
    w.nickName = "alice";
    w.meetID = 77;
    log.pending[2] = {"a\n", "b\n", "c\n"};
    testsupport::LogCapture capture;
    w.collect_detailLog();
    w.collect_detailLog();
    NQClock::setWallMs(collecttest::kMarch3NoonMs + 12 * 3600 * 1000);  // 00:00:00 on the 4th
    w.collect_detailLog();
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 3u);
    EXPECT_EQ(segs[1].detailLog.filename, "alic/alice_PC-7_client_0303.log");
    EXPECT_EQ(segs[1].detailLog.confId, 77);
    EXPECT_EQ(segs[2].detailLog.filename, "alic/alice_PC-7_client_0304.log");
    EXPECT_EQ(capture.countPrefix("rpt to:"), 2);
    EXPECT_EQ(capture.count("rpt to:alic/alice_PC-7_client_0304.log"), 1);
}

TEST_F(CollectTest, SettingChangesQueueUnderTheOldValuesFirst) {
    w.meetID = 7;
    log.pending[1] = {"err\n"};
    log.pending[2] = {"in meeting 7\n", "as alice\n", "at acme\n"};
    w.setNickName("alice");  // the first nickname: nothing to collect yet
    EXPECT_EQ(log.asked[2], 0);
    w.setMeetInfo(2000);
    w.setNickName("bob");
    w.setCompID("acme");  // the first company id: nothing to collect yet
    w.setCompID("beta");
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 4u);
    EXPECT_NE(inflate(segs[0].errLog.data).find("conferenceID:7;"), std::string::npos);
    EXPECT_EQ(segs[1].detailLog.confId, 7);
    EXPECT_EQ(segs[1].detailLog.filename, "alic/alice_PC-7_client_0303.log");
    EXPECT_EQ(segs[2].detailLog.filename, "alice_PC-7_client_0303.log");
    EXPECT_EQ(segs[3].detailLog.filename, "acme/bob_PC-7_client_0303.log");
    EXPECT_EQ(inflate(segs[3].detailLog.data), "at acme\n");
}

TEST_F(CollectTest, UserReportIsStampedAndQueued) {
    w.meetID = 5;
    w.locIP = "10.0.0.8";
    userReportData data;
    data.contact = "alice@example.org";
    data.content = "no sound";
    data.attachments.push_back({"cfg", "audio", NQByteArray(std::string("\0\1\2", 3))});
    data.attachments.push_back({"shot", "", NQByteArray()});
    w.submit_userReport(data);
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 1u);
    const userReport& r = segs[0].user;
    EXPECT_EQ(segs[0].type, segUserReport);
    EXPECT_EQ(r.version, "5.2.1");
    EXPECT_EQ(r.client, "PC-7");
    EXPECT_EQ(r.conferenceID, 0);
    EXPECT_EQ(r.clientIP, "");
    EXPECT_EQ(r.reportDate, "2024-03-03 12:00:00");
    EXPECT_EQ(r.contact, data.contact);
    EXPECT_EQ(r.content, data.content);
    ASSERT_EQ(r.attachments.size(), 2u);
    EXPECT_EQ(r.attachments.front().data.toStdString(), std::string("\0\1\2", 3));
    EXPECT_EQ(r.attachments.back().name, "shot");
}

TEST_F(CollectTest, UserReportWithTheFileClosedLeavesNoTrace) {
    w.rptFile.Close();
    const std::string before = testsupport::readFile(w.rptPath);
    testsupport::LogCapture capture;
    w.submit_userReport(userReportData{"c", "x", {}});
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(testsupport::readFile(w.rptPath), before);
}
