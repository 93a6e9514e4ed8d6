// A store written by the server of the earlier layout (tests/server/data/
// old-store: one index.jsonl, a meta file per command, an organisation store,
// a shipping cursor of the earlier form) is converted when the server starts:
// every command stays readable, the shipping cursor carries over, and days
// that retention deletes later lose their PostgreSQL rows.
#include <rapidjson/document.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <numeric>
#include <set>
#include <thread>

#include "fleetFixture.h"
#include "privatePostgres.h"

namespace {

using namespace fleettest;
namespace fs = std::filesystem;

const std::string kOldStore = std::string(LOGREPORT_SOURCE_DIR) + "/tests/server/data/old-store";
const char kToken[] = "tok-acme-0123456789abcdef0123";

struct OldLine {
    std::string seq;
    std::string meta;  // the meta file's bytes, empty without one
};

// The whole lines of an earlier store's index, with their meta files' bytes.
std::vector<OldLine> oldLines(const std::string& store) {
    std::vector<OldLine> lines;
    std::istringstream in(testsupport::readFile(store + "/index.jsonl"));
    for (std::string line; std::getline(in, line);) {
        if (in.eof()) break;  // the torn last line
        rapidjson::Document doc;
        doc.Parse(line.c_str());
        EXPECT_TRUE(doc.IsObject()) << line;
        if (!doc.IsObject()) continue;
        OldLine l{std::to_string(doc["seq"].GetUint64()), ""};
        if (doc.HasMember("meta")) l.meta = testsupport::readFile(store + "/" + doc["meta"].GetString());
        lines.push_back(l);
    }
    return lines;
}

std::string copyOfOldStore(const testsupport::TempDir& dir) {
    const std::string store = dir.file("store");
    fs::copy(kOldStore, store, fs::copy_options::recursive);
    testsupport::writeFile(dir.file("tokens"), std::string("acme ") + kToken + "\n");
    return store;
}

// Each index line of the day layout whose command sits in an appended file:
// the bytes its range names.
std::map<std::string, std::string> rangesOf(const std::string& store) {
    std::map<std::string, std::string> bytes;
    for (const auto& e : fs::directory_iterator(store + "/index")) {
        std::istringstream in(testsupport::readFile(e.path().string()));
        for (std::string line; std::getline(in, line);) {
            rapidjson::Document doc;
            doc.Parse(line.c_str());
            if (!doc.IsObject() || !doc.HasMember("offset")) continue;
            const std::string file = testsupport::readFile(store + "/" + doc["path"].GetString());
            bytes[std::to_string(doc["seq"].GetUint64())] =
                file.substr(doc["offset"].GetUint64(), doc["length"].GetUint64());
        }
    }
    return bytes;
}

TEST(StoreConversionTest, EveryCommandOfAnEarlierStoreIsReadableAfterTheStart) {
    testsupport::TempDir dir;
    const std::string store = copyOfOldStore(dir);
    const auto rootLines = oldLines(store);
    const auto acmeLines = oldLines(store + "/acme");
    ASSERT_EQ(38u, rootLines.size());
    {
        Server server(store, "n1", {"--tokens", dir.file("tokens")});
        EXPECT_EQ(1, server.countOutput(store + ": converting the store from index.jsonl to index days"));
        EXPECT_EQ(1, server.countOutput(store + "/acme: converted to index days in"));
        Client(kToken).send(server, 11047, "", deflated(errorLog("pc-0", "after the conversion\n")), "reportLog");
    }
    EXPECT_FALSE(fs::exists(store + "/index.jsonl"));
    EXPECT_FALSE(fs::exists(store + "/acme/index.jsonl"));

    for (const auto& [folder, lines] : {std::make_pair(store, rootLines), std::make_pair(store + "/acme", acmeLines)}) {
        std::string out;
        ASSERT_EQ(0, run(queryTool() + " --store " + folder + " --show", out));
        const size_t extra = folder == store ? 0 : 1;
        EXPECT_NE(std::string::npos, out.find(std::to_string(lines.size() + extra) + " entries")) << out;
        // Commands with the same JSON (a detail file appended to twice) show it once each.
        std::map<std::string, int> wanted;
        for (const auto& line : lines)
            if (!line.meta.empty()) ++wanted[line.meta];
        EXPECT_EQ(24u, std::accumulate(wanted.begin(), wanted.end(), 0u, [](unsigned n, const auto& w) { return n + w.second; }));
        for (const auto& [json, count] : wanted) EXPECT_EQ(count, countOf(out, "\n    json: " + json + "\n")) << json;
    }

    // Error and detail logs: each command's range holds what its client sent.
    const auto ranges = rangesOf(store);
    int errorLogs = 0, detailLogs = 0;
    for (const auto& [seq, bytes] : ranges) {
        const bool error = bytes.rfind("--------------------\nversion:1.0;client:pc-", 0) == 0;
        const bool detail = bytes.rfind("detail day", 0) == 0;
        errorLogs += error;
        detailLogs += detail;
        EXPECT_TRUE(error || detail) << "seq " << seq << ": " << bytes;
        EXPECT_EQ('\n', bytes.back()) << bytes;
    }
    EXPECT_EQ(12, errorLogs);
    EXPECT_EQ(12, detailLogs);
    // The new command of the converted organisation store goes to today's error log of that client.
    const auto acmeRanges = rangesOf(store + "/acme");
    EXPECT_EQ(1, std::count_if(acmeRanges.begin(), acmeRanges.end(), [](const auto& r) {
                  return r.second.find("after the conversion\n") != std::string::npos;
              }));
}

#ifdef LOGREPORT_HAVE_PQXX
// The sweep runs on its own thread: polled, bounded.
bool waitUntilGone(const std::string& file) {
    for (int i = 0; i < 300 && fs::exists(file); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return !fs::exists(file);
}

std::string seqList(const std::vector<OldLine>& lines, size_t from) {
    std::set<uint64_t> seqs;
    for (size_t i = from; i < lines.size(); ++i) seqs.insert(std::stoull(lines[i].seq));
    std::string text;
    for (auto s : seqs) text += (text.empty() ? "" : ",") + std::to_string(s);
    return text;
}
#endif

// The earlier shipper had shipped the first 10 lines of the root store: the
// converted cursor ships the others and only those; the organisation store
// had no cursor and ships all. Then retention deletes both days while no
// shipper runs, as a server killed between the two deletions would leave it:
// the next start drops their rows and keeps today's.
TEST(StoreConversionTest, CursorCarriesOverAndDeletedDaysLoseTheirRows) {
#ifndef LOGREPORT_HAVE_PQXX
    GTEST_SKIP() << "built without libpqxx";
#else
    testsupport::TempDir dir;
    ::chmod(dir.path().c_str(), 0711);  // the database runs as another account when the test is root
    PrivatePostgres db(dir.file("pg"));
    ASSERT_TRUE(db.start());
    const std::string store = copyOfOldStore(dir);
    const auto rootLines = oldLines(store);
    const auto acmeLines = oldLines(store + "/acme");
    ASSERT_EQ(38u, rootLines.size());
    const std::vector<std::string> tokens{"--tokens", dir.file("tokens")};
    auto withDb = tokens;
    withDb.insert(withDb.end(), {"--index-db", db.conninfo()});
    {
        Server server(store, "n1", withDb);
        ASSERT_TRUE(db.waitForRows(std::to_string(28 + acmeLines.size())));
    }
    EXPECT_EQ(seqList(rootLines, 10),
              db.sql("SELECT string_agg(seq::text, ',' ORDER BY seq) FROM logreport_index WHERE org = ''"));
    EXPECT_EQ(seqList(acmeLines, 0),
              db.sql("SELECT string_agg(seq::text, ',' ORDER BY seq) FROM logreport_index WHERE org = 'acme'"));

    auto retain = tokens;
    retain.insert(retain.end(), {"--retain", "all=1"});
    {
        // With organisation stores the sweep covers each organisation's folder.
        Server server(store, "n1", retain);
        ASSERT_TRUE(waitUntilGone(store + "/acme/index/2026-12-05.jsonl"));
        ASSERT_TRUE(waitUntilGone(store + "/acme/index/2026-12-06.jsonl"));
    }
    EXPECT_EQ(std::to_string(28 + acmeLines.size()), db.sql("SELECT count(*) FROM logreport_index"));

    Server server(store, "n1", withDb);
    Client(kToken).send(server, 11047, "", deflated(errorLog("pc-0", "today\n")), "reportLog");
    ASSERT_TRUE(db.waitForRows("29")) << db.sql("SELECT org, count(*) FROM logreport_index GROUP BY org");
    EXPECT_EQ("acme|1", db.sql("SELECT org, count(*) FROM logreport_index WHERE org = 'acme' GROUP BY org"));
    EXPECT_EQ(seqList(rootLines, 10),
              db.sql("SELECT string_agg(seq::text, ',' ORDER BY seq) FROM logreport_index WHERE org = ''"));
    EXPECT_TRUE(server.waitForOutput("rows of 2026-12-05 of acme: the day is gone")) << server.output();
    EXPECT_TRUE(server.waitForOutput("rows of 2026-12-06 of acme: the day is gone")) << server.output();
#endif
}

}  // namespace
