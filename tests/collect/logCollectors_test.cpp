#include "collectFixture.h"

using namespace NQBase;
using collecttest::CollectTest;
using collecttest::inflate;

// Lines of varying length, like a running log.
static std::string logLines(size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; ++i) text += "line " + std::to_string(i) + std::string(i % 50, '.') + "\n";
    return text.substr(0, size);
}

TEST_F(CollectTest, ErrorLogIsOneSegmentOfRuleHeaderAndText) {
    w.collect_errLog();  // no text yet: nothing queued
    w.meetID = -5;
    const std::string text = logLines(300000);
    log.pending[1] = {text};
    w.collect_errLog();
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(segs[0].type, segErrLog);
    EXPECT_EQ(inflate(segs[0].errLog.data),
              "--------------------\nversion:5.2.1;client:PC-7;clientIP:;module:client;conferenceID:-5;termID:0;\n" + text);
}

TEST_F(CollectTest, DetailPiecesEndAtTheFirstLineFeedPastTheMinimum) {
    std::string feedAt70000(100000, 'a'), endsInFeed(61441, 'b');
    feedAt70000[70000] = endsInFeed.back() = '\n';
    const std::vector<std::pair<std::string, std::vector<size_t>>> cases = {
        {logLines(61440), {61440}}, {endsInFeed, {61441}}, {feedAt70000, {70001, 29999}}, {std::string(200000, 'c'), {200000}}};
    w.nickName = "alice";
    size_t seen = 0;
    for (const auto& [text, pieces] : cases) {
        log.pending[2] = {text};
        w.collect_detailLog();
        std::vector<SegmentPayload> segs = queued();
        ASSERT_EQ(segs.size(), seen + pieces.size()) << text.size();
        std::string joined;
        for (size_t piece : pieces) {
            const std::string part = inflate(segs[seen++].detailLog.data);
            EXPECT_EQ(part.size(), piece) << text.size();
            joined += part;
        }
        EXPECT_EQ(joined, text);
    }
}

TEST_F(CollectTest, DetailFileNameFolderFollowsCompanyThenMeetingAndTheLocalDay) {
    struct Case { std::string comp; int meet; std::string nick; std::string name; };
    for (const Case& c : std::vector<Case>{{"", 0, "alice", "alic/alice_PC-7_client_0303.log"},
                                           {"acme", 123456, "alice", "acme/alice_PC-7_client_0303.log"},
                                           {"", 999, "alice", "alic/alice_PC-7_client_0303.log"},
                                           {"", 1000, "alice", "alice_PC-7_client_0303.log"},
                                           {"", -3, "al", "al/al_PC-7_client_0303.log"}}) {
        w.compID = c.comp;
        w.meetID = c.meet;
        w.nickName = c.nick;
        EXPECT_EQ(w.detailLogFileName(), c.name);
    }
    // The name is announced when it changes, at local midnight, not per piece.
    w.nickName = "alice";
    w.meetID = 77;
    NQClock::setWallMs(collecttest::kMarch3NoonMs + 12 * 3600 * 1000 - 1000);  // 23:59:59
    log.pending[2] = {"a\n", "b\n", "c\n"};
    testsupport::LogCapture capture;
    w.collect_detailLog();
    w.collect_detailLog();
    NQClock::setWallMs(collecttest::kMarch3NoonMs + 12 * 3600 * 1000);  // 00:00:00 on the 4th
    w.collect_detailLog();
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 3u);
    EXPECT_EQ(segs[1].detailLog.confId, 77);
    EXPECT_EQ(segs[1].detailLog.filename + " " + segs[2].detailLog.filename,
              "alic/alice_PC-7_client_0303.log alic/alice_PC-7_client_0304.log");
    EXPECT_EQ(capture.countPrefix("rpt to:"), 2);
    EXPECT_EQ(capture.count("rpt to:alic/alice_PC-7_client_0304.log"), 1);
}

TEST_F(CollectTest, SettingChangesQueueUnderTheOldValuesFirst) {
    w.meetID = 7;
    log.pending[1] = {"err\n"};
    log.pending[2] = {"in meeting 7\n", "as alice\n", "at acme\n"};
    w.setNickName("alice");  // the first nickname: nothing to collect yet
    EXPECT_EQ(log.pending[2].size(), 3u);
    w.setMeetInfo(2000);
    w.setNickName("bob");
    w.setCompID("acme");  // the first company id: nothing to collect yet
    w.setCompID("beta");
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 4u);
    EXPECT_NE(inflate(segs[0].errLog.data).find("conferenceID:7;"), std::string::npos);
    EXPECT_EQ(segs[1].detailLog.confId, 7);
    EXPECT_EQ(segs[1].detailLog.filename + " " + segs[2].detailLog.filename + " " + segs[3].detailLog.filename,
              "alic/alice_PC-7_client_0303.log alice_PC-7_client_0303.log acme/bob_PC-7_client_0303.log");
    EXPECT_EQ(inflate(segs[3].detailLog.data), "at acme\n");
}

TEST_F(CollectTest, UserReportIsStampedAndQueuedOrDroppedSilentlyWhenClosed) {
    const userReportData data{"alice@example.org", "no sound", {{"cfg", "audio", NQByteArray(std::string("\0\1\2", 3))}}};
    w.submit_userReport(data);
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 1u);
    const userReport& r = segs[0].user;
    EXPECT_EQ(segs[0].type, segUserReport);
    EXPECT_EQ(r.version + "|" + r.client + "|" + r.reportDate, "5.2.1|PC-7|2024-03-03 12:00:00");
    EXPECT_EQ(r.contact + "|" + r.content, "alice@example.org|no sound");
    ASSERT_EQ(r.attachments.size(), 1u);
    const reportAttachment& a = r.attachments.front();
    EXPECT_EQ(a.name + "|" + a.text + "|" + a.data.toStdString(),
              "cfg|audio|" + std::string("\0\1\2", 3));

    w.rptFile.Close();
    const std::string before = testsupport::readFile(w.rptPath);
    testsupport::LogCapture capture;
    w.submit_userReport(data);
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(testsupport::readFile(w.rptPath), before);
}
