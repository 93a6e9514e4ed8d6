// The console's parts on their own: parsing what requests send, the index's
// cursor over growing and vanishing days, sign-in slowing, the operators file.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdio>
#include <fstream>

#include "consoleFixture.h"
#include "downloadName.h"
#include "embeddedIndex.h"
#include "jsonText.h"
#include "logPager.h"
#include "operatorFile.h"
#include "searchQuery.h"
#include "signInThrottle.h"

namespace consoletest {
namespace {

using namespace console;

TEST(SearchParameters, TimesAreNormalisedOrRefused) {
    std::string out;
    EXPECT_TRUE(normalizeUtcTime("2026-12-06", out));
    EXPECT_EQ(out, "2026-12-06T00:00:00.000Z");
    EXPECT_TRUE(normalizeUtcTime("2026-12-06 05:07", out));
    EXPECT_EQ(out, "2026-12-06T05:07:00.000Z");
    EXPECT_TRUE(normalizeUtcTime("2026-12-06T05:07:09.5Z", out));
    EXPECT_EQ(out, "2026-12-06T05:07:09.500Z");
    for (const char* bad : {"", "2026", "2026-12-6", "2026-00-01", "2026-12-06T5:00", "2026-12-06T24:00",
                            "2026-12-06T05:00+02:00", "2026-12-06T05:00:00.", "2026-12-06T05:00:00.1234567890",
                            "2026-12-06X05:00", "tomorrow"})
        EXPECT_FALSE(normalizeUtcTime(bad, out)) << bad;
}

TEST(SearchParameters, IdsAndCursorsAreStrict) {
    int64_t id = 0;
    EXPECT_TRUE(parseItemId("42", id));
    EXPECT_EQ(id, 42);
    for (const char* bad : {"", "0", "042", "-1", "+1", "1e3", "4 2", "1234567890123456789", "../1"})
        EXPECT_FALSE(parseItemId(bad, id)) << bad;
    std::string time;
    EXPECT_TRUE(parseCursor(makeCursor("2026-12-06T05:07:09.500Z", 17), time, id));
    EXPECT_EQ(time, "2026-12-06T05:07:09.500Z");
    EXPECT_EQ(id, 17);
    for (const char* bad : {"", "_17", "2026-12-06_17", "2026-12-06T05:07:09.500Z_", "2026-12-06T05:07:09.500Z_x"})
        EXPECT_FALSE(parseCursor(bad, time, id)) << bad;
}

TEST(LogLines, ErrorAndFatalCountOnlyAsWordsOfTheirOwn) {
    auto err = [](const std::string& s) { return isErrorLine(s.data(), s.size()); };
    EXPECT_TRUE(err("ERROR"));
    EXPECT_TRUE(err("2026-12-06 05:00 [audio] ERROR device lost"));
    EXPECT_TRUE(err("x FATAL"));
    EXPECT_TRUE(err("a\tFATAL\tb"));
    EXPECT_TRUE(err("ERROR\r"));
    EXPECT_FALSE(err("ERRORS"));
    EXPECT_FALSE(err("ERROR: colon"));
    EXPECT_FALSE(err("[ERROR]"));
    EXPECT_FALSE(err("error fatal"));
    EXPECT_FALSE(err(""));
}

TEST(LogLines, ALineLongerThanAPageIsCutForDisplayButPagingMovesOn) {
    char tmpl[] = "/tmp/console_log_XXXXXX";
    const int fd = ::mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::string longLine(100000, 'x');
    {
        std::ofstream out(tmpl, std::ios::binary);
        out << "short\n" << longLine << " ERROR\nend\n";
    }
    const uint64_t size = 6 + longLine.size() + 7 + 4;
    LogPageRequest req;
    req.end = size;
    req.limit = 1000;
    req.firstNumber = 1;
    LogPage page;
    ASSERT_TRUE(LogPager::readPage(tmpl, req, page));
    ASSERT_EQ(page.lines.size(), 3u);
    EXPECT_EQ(page.lines[1].text.size(), 16u * 1024);
    EXPECT_TRUE(page.lines[1].error);  // its ERROR lies past what is shown
    EXPECT_FALSE(page.lines[0].error);
    EXPECT_EQ(page.lines[2].offset, 6 + longLine.size() + 7);
    EXPECT_EQ(page.lines[2].number, 3u);
    EXPECT_FALSE(page.more);
    // A filter that matches nothing still moves forward.
    req.filter = "nothing like this";
    req.limit = 1;
    ASSERT_TRUE(LogPager::readPage(tmpl, req, page));
    EXPECT_TRUE(page.lines.empty());
    EXPECT_FALSE(page.more);
    std::remove(tmpl);
    // A word cut at the display limit is judged whole: "ERRORS" is no mark,
    // an ERROR that straddles the cut is.
    for (const auto& [tail, mark] : {std::pair<std::string, bool>{"ERRORS\n", false}, {"ERROR\n", true}}) {
        {
            std::ofstream out(tmpl, std::ios::binary);
            out << std::string(16 * 1024 - 3, 'y') << ' ' << tail.substr(0, 2) << tail.substr(2);
        }
        LogPageRequest cut;
        cut.end = 16 * 1024 - 2 + tail.size();
        cut.limit = 10;
        ASSERT_TRUE(LogPager::readPage(tmpl, cut, page));
        ASSERT_EQ(page.lines.size(), 1u);
        EXPECT_EQ(page.lines[0].error, mark) << tail;
    }
    std::remove(tmpl);
}

TEST(Downloads, NamesAreSafeInTheHeaderAndKeptInFilenameStar) {
    const std::string d = contentDisposition("dir/na\"me;\r\nx\xC3\xA9.log");
    EXPECT_EQ(d, "attachment; filename=\"na_me___x__.log\"; filename*=UTF-8''na%22me%3B%EF%BF%BD%EF%BF%BDx%C3%A9.log");
    EXPECT_EQ(safeAsciiName(".."), "_.");
    EXPECT_EQ(safeAsciiName(""), "download");
    EXPECT_EQ(validUtf8("ok\xC3\xA9\xFF\xC0\xAF\xED\xA0\x80"), "ok\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
                                                              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    // A name stays on one line; a request's JSON keeps its layout.
    EXPECT_EQ(validUtf8("a\r\n\tb\x01"), "a\xEF\xBF\xBD\xEF\xBF\xBD\tb\xEF\xBF\xBD");
    EXPECT_EQ(validUtf8("{\r\n  \"a\": 1\n}\x01", LineEnds::kKeep), "{\r\n  \"a\": 1\n}\xEF\xBF\xBD");
}

// An item of the shared table is looked up in its index day, or the next
// one for a line written just after midnight.
TEST(StoreDays, TheDayAfterCrossesMonthsYearsAndLeapDays) {
    EXPECT_EQ(StoreSet::dayAfter("2026-12-06"), "2026-12-07");
    EXPECT_EQ(StoreSet::dayAfter("2026-12-31"), "2027-01-01");
    EXPECT_EQ(StoreSet::dayAfter("2026-02-28"), "2026-03-01");
    EXPECT_EQ(StoreSet::dayAfter("2028-02-28"), "2028-02-29");
    EXPECT_EQ(StoreSet::dayAfter("2026-12-6"), "");
    EXPECT_EQ(StoreSet::dayAfter("../../etc"), "");
}

TEST(SignIn, FailuresDoubleTheWaitOfTheirAddressOnly) {
    SignInThrottle t;
    const auto t0 = SignInThrottle::Clock::now();
    EXPECT_EQ(t.waitFor("10.0.0.1", t0).count(), 0);
    t.failed("10.0.0.1", t0);
    EXPECT_GT(t.waitFor("10.0.0.1", t0).count(), 0);
    EXPECT_EQ(t.waitFor("10.0.0.2", t0).count(), 0);
    EXPECT_EQ(t.waitFor("10.0.0.1", t0 + std::chrono::seconds(1)).count(), 0);
    t.failed("10.0.0.1", t0 + std::chrono::seconds(1));
    t.failed("10.0.0.1", t0 + std::chrono::seconds(1));
    EXPECT_GT(t.waitFor("10.0.0.1", t0 + std::chrono::seconds(4)).count(), 0);  // 4 s after the third
    EXPECT_EQ(t.waitFor("10.0.0.1", t0 + std::chrono::seconds(5)).count(), 0);
    for (int i = 0; i < 20; ++i) t.failed("10.0.0.1", t0);
    EXPECT_EQ(t.waitFor("10.0.0.1", t0 + SignInThrottle::kMaxWait).count(), 0);
    t.failed("10.0.0.1", t0);
    t.succeeded("10.0.0.1");
    EXPECT_EQ(t.waitFor("10.0.0.1", t0).count(), 0);
}

TEST(Operators, FileLinesAreCheckedAndOrganisationsGathered) {
    ASSERT_GE(sodium_init(), 0);
    const std::string h = OperatorFile::hashPassword("pw");
    ASSERT_EQ(h.rfind("$argon2id$", 0), 0u);
    std::map<std::string, std::pair<Operator, std::string>> ops;
    std::string error;
    ASSERT_TRUE(OperatorFile::parse("# team\n\nann ACME " + h + "\nann GLOBEX " + h + "  # both\nbob * " + h + "\n", ops, error))
        << error;
    EXPECT_EQ(ops["ann"].first.orgs, (std::vector<std::string>{"ACME", "GLOBEX"}));
    EXPECT_FALSE(ops["ann"].first.allOrgs);
    EXPECT_TRUE(ops["bob"].first.allOrgs);
    EXPECT_FALSE(OperatorFile::parse("ann ACME\n", ops, error));
    EXPECT_NE(error.find("line 1"), std::string::npos);
    EXPECT_FALSE(OperatorFile::parse("ann ACME plaintext\n", ops, error));
    EXPECT_FALSE(OperatorFile::parse("ann ACME " + h + " extra\n", ops, error));
    EXPECT_FALSE(OperatorFile::parse("ok * " + h + "\nann A " + h + "\nann B " + OperatorFile::hashPassword("other") + "\n", ops, error));
    EXPECT_NE(error.find("line 3"), std::string::npos);
}

class IndexCursor : public ConsoleFixture {
protected:
    int64_t count(EmbeddedIndex& index) {
        SearchQuery q;
        q.limit = 500;
        OrgScope all;
        all.all = true;
        SearchResult r;
        std::string error;
        EXPECT_TRUE(index.search(q, all, r, error)) << error;
        return static_cast<int64_t>(r.items.size());
    }
};

TEST_F(IndexCursor, ALineStillBeingWrittenIsTakenWholeLater) {
    writer_->dump(upload("pc-1", "1", "2026-12-06T08:00:00.000Z"), "MDMP");
    const std::string day = store_ + "/index/2026-12-06.jsonl";
    const std::string whole = readFile(day);
    // A second line, half written.
    consolefixture::appendFile(day, whole.substr(0, whole.size() / 2));
    StoreSet stores({store_});
    EmbeddedIndex index;
    std::string error;
    ASSERT_TRUE(index.open(dir_ + "/state", error)) << error;
    EmbeddedIndex::RefreshStats stats;
    std::vector<ConsoleItem> added;
    ASSERT_TRUE(index.refresh(stores, &added, stats, error));
    EXPECT_EQ(added.size(), 1u);
    EXPECT_EQ(stats.damaged, 0);
    consolefixture::appendFile(day, whole.substr(whole.size() / 2));
    added.clear();
    ASSERT_TRUE(index.refresh(stores, &added, stats, error));
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].client, "pc-1");
    EXPECT_EQ(count(index), 2);
    // Nothing new: nothing added; a damaged line is counted and skipped.
    consolefixture::appendFile(day, "{not json\n");
    added.clear();
    ASSERT_TRUE(index.refresh(stores, &added, stats, error));
    EXPECT_TRUE(added.empty());
    EXPECT_EQ(stats.damaged, 1);
}

TEST_F(IndexCursor, DaysRetentionRemovedAreDroppedAndTheIndexSurvivesARestart) {
    writer_->dump(upload("pc-1", "1", "2026-12-05T08:00:00.000Z"), "MDMP");
    writer_->dump(upload("pc-2", "1", "2026-12-06T08:00:00.000Z"), "MDMP");
    StoreSet stores({store_});
    std::string error;
    EmbeddedIndex::RefreshStats stats;
    {
        EmbeddedIndex index;
        ASSERT_TRUE(index.open(dir_ + "/state", error));
        ASSERT_TRUE(index.refresh(stores, nullptr, stats, error));
        EXPECT_EQ(count(index), 2);
    }
    std::remove((store_ + "/index/2026-12-05.jsonl").c_str());
    EmbeddedIndex index;
    ASSERT_TRUE(index.open(dir_ + "/state", error));
    std::vector<ConsoleItem> added;
    ASSERT_TRUE(index.refresh(stores, &added, stats, error));
    EXPECT_TRUE(added.empty());  // what was read before is not read again
    EXPECT_EQ(stats.droppedDays, 1);
    EXPECT_EQ(count(index), 1);
    SearchQuery q;
    q.limit = 10;
    q.client = "pc-";
    OrgScope all;
    all.all = true;
    SearchResult r;
    ASSERT_TRUE(index.search(q, all, r, error));
    ASSERT_EQ(r.items.size(), 1u);
    EXPECT_EQ(r.items[0].client, "pc-2");
}

}  // namespace
}  // namespace consoletest
