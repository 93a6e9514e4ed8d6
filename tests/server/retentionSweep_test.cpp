// Retention: what is past its limit goes, nothing inside the retained days
// does, and appended files are judged by the newest command that wrote to them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "retentionSweep.h"
#include "testSupport.h"

namespace {

namespace fs = std::filesystem;
using logserver::RetentionSweep;

const char kToday[] = "2026-03-02";  // across a month end, in a leap-free year

class RetentionSweepTest : public ::testing::Test {
protected:
    std::string day(int back) const { return RetentionSweep::daysBefore(kToday, back); }
    bool has(const std::string& rel) const { return fs::exists(dir_.file(rel)); }
    void put(const std::string& rel, const std::string& bytes = "x") const {
        fs::create_directories(fs::path(dir_.file(rel)).parent_path());
        testsupport::writeFile(dir_.file(rel), bytes);
    }
    // One command of each kind on the day `back` days ago.
    void storeDay(int back) {
        const std::string d = day(back);
        std::string lines;
        auto line = [&](int cmdId, const std::string& path, const std::string& extra = "") {
            ++seq_;
            lines += "{\"seq\":" + std::to_string(seq_) + ",\"time\":\"" + d + "T10:00:00.000Z\",\"cmdId\":" +
                     std::to_string(cmdId) + ",\"path\":\"" + path + "\"" + extra + "}\n";
        };
        put("errlog/pc/" + d + ".log");
        line(11047, "errlog/pc/" + d + ".log");
        put("dumps/pc/n1-" + std::to_string(seq_ + 1) + ".dmp");
        put("dumps/pc/n1-" + std::to_string(seq_ + 1) + ".json");
        line(11049, "dumps/pc/n1-" + std::to_string(seq_ + 1) + ".dmp");
        put("reports/n1-" + std::to_string(seq_ + 1) + "/report.json");
        line(11050, "reports/n1-" + std::to_string(seq_ + 1));
        put("rejected/n1-" + std::to_string(seq_ + 1) + "/reason.txt");
        line(11049, "rejected/n1-" + std::to_string(seq_ + 1), ",\"rejected\":\"json has no info object\"");
        put("detail/room/daily_" + d + ".log");
        line(11048, "detail/room/daily_" + d + ".log");
        // One detail file every day writes to.
        put("detail/room/always.log");
        line(11048, "detail/room/always.log");
        put("index/" + d + ".jsonl", lines);
        put("meta/" + d + ".log");
    }
    std::vector<std::string> sweep(const std::vector<std::string>& rules) const {
        RetentionSweep::Rules parsed;
        std::string error;
        for (const auto& r : rules) EXPECT_TRUE(RetentionSweep::addRule(r, parsed, error)) << error;
        std::vector<std::string> log;
        RetentionSweep(dir_.path(), parsed).run(kToday, log);
        return log;
    }

    testsupport::TempDir dir_;
    int seq_ = 0;
};

TEST_F(RetentionSweepTest, DaysBeforeCrossesMonthsAndYears) {
    EXPECT_EQ("2026-02-28", RetentionSweep::daysBefore("2026-03-02", 2));
    EXPECT_EQ("2025-12-31", RetentionSweep::daysBefore("2026-01-01", 1));
    EXPECT_EQ("2024-02-29", RetentionSweep::daysBefore("2024-03-01", 1));
}

TEST_F(RetentionSweepTest, NothingInsideTheRetainedDaysGoesAndEverythingOlderDoes) {
    for (int back = 0; back <= 6; ++back) storeDay(back);
    const auto log = sweep({"all=3"});
    for (int back = 0; back <= 6; ++back) {
        const std::string d = day(back);
        const bool kept = back < 3;
        EXPECT_EQ(kept, has("index/" + d + ".jsonl")) << d;
        EXPECT_EQ(kept, has("meta/" + d + ".log")) << d;
        EXPECT_EQ(kept, has("errlog/pc/" + d + ".log")) << d;
        EXPECT_EQ(kept, has("detail/room/daily_" + d + ".log")) << d;
    }
    EXPECT_TRUE(has("detail/room/always.log")) << "written to today: kept whatever its first days";
    size_t dumps = 0, reports = 0, rejected = 0;
    for (const auto& e : fs::directory_iterator(dir_.file("dumps/pc"))) dumps += e.path().extension() == ".dmp";
    for (const auto& e : fs::directory_iterator(dir_.file("reports"))) reports += !e.path().empty();
    for (const auto& e : fs::directory_iterator(dir_.file("rejected"))) rejected += !e.path().empty();
    EXPECT_EQ(3u, dumps);
    EXPECT_EQ(3u, reports);
    EXPECT_EQ(3u, rejected);
    ASSERT_FALSE(log.empty());
    bool counted = false;
    for (const auto& line : log) counted = counted || line.find("retention: deleted 8 dump files (8 bytes)") == 0;
    EXPECT_TRUE(counted) << "4 days of a dump and its info";
}

TEST_F(RetentionSweepTest, AKindWithoutARuleKeepsItsDaysIndexed) {
    for (int back = 0; back <= 5; ++back) storeDay(back);
    sweep({"dump=1", "errlog=2"});
    EXPECT_FALSE(has("errlog/pc/" + day(2) + ".log"));
    EXPECT_TRUE(has("errlog/pc/" + day(1) + ".log"));
    EXPECT_TRUE(has("reports/n1-3/report.json")) << "reports have no rule";
    // The day still holds reports and details: its index and meta stay.
    EXPECT_TRUE(has("index/" + day(5) + ".jsonl"));
    EXPECT_TRUE(has("meta/" + day(5) + ".log"));
}

TEST_F(RetentionSweepTest, RulesAreCheckedWhenGiven) {
    RetentionSweep::Rules rules;
    std::string error;
    for (const char* bad : {"dumps=3", "dump", "dump=", "dump=0", "dump=-1", "dump=3d", "=3"})
        EXPECT_FALSE(RetentionSweep::addRule(bad, rules, error)) << bad;
    EXPECT_TRUE(rules.empty());
    EXPECT_TRUE(RetentionSweep::addRule("detail=30", rules, error));
    EXPECT_EQ(30, rules["detail"]);
}

}  // namespace
