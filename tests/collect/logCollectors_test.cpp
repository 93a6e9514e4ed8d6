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
    c.collect_errLog(&log);  // no text yet: nothing queued
    id.meetID = -5;
    const std::string text = logLines(300000);
    log.pending[1] = {text};
    c.collect_errLog(&log);
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(segs[0].type, segErrLog);
    EXPECT_EQ(inflate(segs[0].errLog.data),
              "--------------------\nversion:5.2.1;client:PC-7;clientIP:;module:client;conferenceID:-5;termID:0;\n" + text);
}

// Text the logger has handed out cannot be asked for again: when it cannot be
// compressed nothing is queued in its place, and a refused segment says so.
TEST_F(CollectTest, ErrorTextThatCannotBeQueuedIsDroppedWithALine) {
    testsupport::LogCapture capture;
    logCollector flaky(id, file, collecttest::FlakyCompress::compress);
    collecttest::FlakyCompress::calls = 0;
    collecttest::FlakyCompress::failOnCall = 1;
    log.pending[1] = {"lost\n"};
    flaky.collect_errLog(&log);
    collecttest::FlakyCompress::failOnCall = 0;
    EXPECT_EQ(capture.count("compress errLog dat failled! err:-4"), 1);
    EXPECT_TRUE(queued().empty()) << "no empty record stands in for the text";

    collecttest::RefusingSink full;
    logCollector refused(id, full);
    log.pending[1] = {"also lost\n"};
    log.pending[2] = {"detail\n"};
    id.nickName = "alice";
    refused.collect_errLog(&log);
    refused.collect_detailLog(&log);
    refused.submit_userReport(userReportData{"a@example.org", "help", {}});
    EXPECT_EQ(capture.count("collect_errLog: 10 bytes of error log lost(write failed)"), 1);
    EXPECT_EQ(capture.count("collect_detailLog: a piece of alic/alice_PC-7_client_0303.log lost(write failed)"), 1);
    EXPECT_EQ(capture.count("submit_userReport: report lost(write failed)"), 1);
}

TEST_F(CollectTest, DetailPiecesEndAtTheFirstLineFeedPastTheMinimum) {
    std::string feedAt70000(100000, 'a'), endsInFeed(61441, 'b');
    feedAt70000[70000] = endsInFeed.back() = '\n';
    const std::vector<std::pair<std::string, std::vector<size_t>>> cases = {
        {logLines(61440), {61440}}, {endsInFeed, {61441}}, {feedAt70000, {70001, 29999}}, {std::string(200000, 'c'), {200000}}};
    id.nickName = "alice";
    size_t seen = 0;
    for (const auto& [text, pieces] : cases) {
        log.pending[2] = {text};
        c.collect_detailLog(&log);
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
    for (const Case& k : std::vector<Case>{{"", 0, "alice", "alic/alice_PC-7_client_0303.log"},
                                           {"acme", 123456, "alice", "acme/alice_PC-7_client_0303.log"},
                                           {"", 999, "alice", "alic/alice_PC-7_client_0303.log"},
                                           {"", 1000, "alice", "alice_PC-7_client_0303.log"},
                                           {"", -3, "al", "al/al_PC-7_client_0303.log"}}) {
        id.compID = k.comp;
        id.meetID = k.meet;
        id.nickName = k.nick;
        EXPECT_EQ(c.detailLogFileName(), k.name);
    }
    // The name is announced when it changes, at local midnight, not per piece.
    id.nickName = "alice";
    id.meetID = 77;
    NQClock::setWallMs(collecttest::kMarch3NoonMs + 12 * 3600 * 1000 - 1000);  // 23:59:59
    log.pending[2] = {"a\n", "b\n", "c\n"};
    testsupport::LogCapture capture;
    c.collect_detailLog(&log);
    c.collect_detailLog(&log);
    NQClock::setWallMs(collecttest::kMarch3NoonMs + 12 * 3600 * 1000);  // 00:00:00 on the 4th
    c.collect_detailLog(&log);
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 3u);
    EXPECT_EQ(segs[1].detailLog.confId, 77);
    EXPECT_EQ(segs[1].detailLog.filename + " " + segs[2].detailLog.filename,
              "alic/alice_PC-7_client_0303.log alic/alice_PC-7_client_0304.log");
    EXPECT_EQ(capture.countPrefix("rpt to:"), 2);
    EXPECT_EQ(capture.count("rpt to:alic/alice_PC-7_client_0304.log"), 1);
}

TEST_F(CollectTest, UserReportIsStampedAndQueued) {
    const userReportData data{"alice@example.org", "no sound", {{"cfg", "audio", NQByteArray(std::string("\0\1\2", 3))}}};
    c.submit_userReport(data);
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

}

TEST_F(CollectTest, FailedCompressionLosesOnlyItsOwnDetailPiece) {
    id.nickName = "alice";
    logCollector flaky(id, file, collecttest::FlakyCompress::compress);
    const std::string text = logLines(200000);  // four pieces
    collecttest::FlakyCompress::calls = 0;
    collecttest::FlakyCompress::failOnCall = 0;
    collecttest::FlakyCompress::failOnPrefix = text.substr(text.find('\n', kDetailPieceMin) + 1, 64);  // the second
    log.pending[2] = {text};
    testsupport::LogCapture capture;
    flaky.collect_detailLog(&log);
    collecttest::FlakyCompress::failOnPrefix.clear();
    EXPECT_EQ(capture.count("compress detail dat failled! err:-4"), 1);
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 3u);
    EXPECT_EQ(text.substr(0, inflate(segs[0].detailLog.data).size()), inflate(segs[0].detailLog.data));
    const std::string last = inflate(segs[2].detailLog.data);
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST_F(CollectTest, NothingIsQueuedWithoutALoggerNorFromAFailedErrorCompression) {
    id.nickName = "alice";
    log.pending[1] = {"err\n"};
    log.pending[2] = {logLines(200000)};
    c.collect_errLog(nullptr);
    c.collect_detailLog(nullptr);
    c.start_detailPass(nullptr, nullptr);
    EXPECT_FALSE(c.detailPassRunning());
    EXPECT_TRUE(queued().empty()) << "the report file is open, but there is no logger";

    logCollector flaky(id, file, collecttest::FlakyCompress::compress);
    collecttest::FlakyCompress::calls = 0;
    collecttest::FlakyCompress::failOnCall = 1;
    testsupport::LogCapture capture;
    flaky.collect_errLog(&log);
    collecttest::FlakyCompress::failOnCall = 0;
    EXPECT_EQ(capture.count("compress errLog dat failled! err:-4"), 1);
    EXPECT_TRUE(log.pending[1].empty()) << "the text was taken";
    EXPECT_TRUE(queued().empty()) << "and dropped, not queued as an empty record";
}

// A logger whose detail text is one growing string, handed out from an offset
// the take moves, as the reference logger does; it counts what it hands out.
struct GrowingLog : NQBase::NQLog {
    void GetInitData(NQBase::LogInitData&) override {}
    bool GetLogFileDat(int type, std::string& out, bool take) override {
        out.clear();
        if (type != 2) return false;
        std::lock_guard<std::mutex> lock(mutex);
        out = text.substr(handedOut, std::min(text.size() - handedOut, cap));
        if (take) handedOut += out.size();
        return !out.empty();
    }
    std::mutex mutex;
    std::string text;
    size_t handedOut = 0;
    size_t cap = std::string::npos;
};

// Runs the worker's side of a pass beside the upload: each time a piece is
// done, queue what is ready, until no pass is left.
static void drivePass(logCollector& collector, std::atomic<int>& done, int& seen) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (collector.detailPassRunning() && std::chrono::steady_clock::now() < deadline) {
        if (done.load() == seen) {
            std::this_thread::yield();
            continue;
        }
        seen = done.load();
        collector.save_readyPieces();
    }
}

TEST_F(CollectTest, PassBesideTheUploadTakesItsTextOnlyOnceAllOfItIsQueued) {
    id.nickName = "alice";
    GrowingLog logger;
    logger.text = logLines(400000);  // seven pieces
    std::atomic<int> done{0};
    int seen = 0;
    c.start_detailPass(&logger, [&done] { ++done; });
    ASSERT_TRUE(c.detailPassRunning());
    EXPECT_EQ(logger.handedOut, 0u) << "looked at, not taken";
    {
        std::lock_guard<std::mutex> lock(logger.mutex);
        logger.text += "written during the pass\n";
    }
    // A pass already running is left alone: its take hands out this text too.
    c.start_detailPass(&logger, nullptr);
    drivePass(c, done, seen);
    ASSERT_FALSE(c.detailPassRunning());
    EXPECT_EQ(logger.handedOut, logger.text.size());
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 8u) << "seven pieces and what came during the pass";
    std::string joined;
    for (const SegmentPayload& seg : segs) joined += inflate(seg.detailLog.data);
    EXPECT_EQ(joined, logger.text) << "in order, each byte once";

    // Identity changes while a pass runs do not move its pieces.
    logger.text += logLines(200000);
    c.start_detailPass(&logger, [&done] { ++done; });
    id.nickName = "bob";
    c.finish_detailPass();
    segs = queued();
    ASSERT_EQ(segs.size(), 12u);
    EXPECT_EQ(segs.back().detailLog.filename, "alic/alice_PC-7_client_0303.log");
    EXPECT_EQ(logger.handedOut, logger.text.size());
}

TEST_F(CollectTest, PassesFollowEachOtherThroughABacklogAndChangedTextIsQueuedWhole) {
    id.nickName = "alice";
    GrowingLog logger;
    logger.cap = kDetailBacklogPassBytes;
    logger.text = logLines(kDetailBacklogPassBytes * 5 / 2);
    std::atomic<int> done{0};
    int seen = 0;
    c.start_detailPass(&logger, [&done] { ++done; });
    drivePass(c, done, seen);
    EXPECT_EQ(logger.handedOut, logger.text.size()) << "a full hand-out starts the next pass at once";
    std::string joined;
    for (const SegmentPayload& seg : queued()) joined += inflate(seg.detailLog.data);
    EXPECT_EQ(joined, logger.text);

    // Text that is not what the pass looked at (a truncated log file) is
    // queued whole when taken: sent twice rather than lost.
    const size_t before = queued().size();
    logger.text += logLines(150000);
    c.start_detailPass(&logger, [&done] { ++done; });
    {
        std::lock_guard<std::mutex> lock(logger.mutex);
        logger.text.replace(logger.handedOut, 10, "REWRITTEN\n");
    }
    drivePass(c, done, seen);
    const std::vector<SegmentPayload> segs = queued();
    std::string again;
    for (size_t i = before; i < segs.size(); ++i) again += inflate(segs[i].detailLog.data);
    const std::string taken = logger.text.substr(logger.text.size() - 150000);
    EXPECT_EQ(again.substr(again.size() - taken.size()), taken);
    EXPECT_EQ(again.size(), 2 * taken.size());
}
