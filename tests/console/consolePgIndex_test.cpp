// The fleet's shared PostgreSQL table as the console's index, in a private
// PostgreSQL on 127.0.0.1 (scripts/private-pg.sh) that the real server's
// index shipper fills: it answers as the embedded index does over the same
// store, keeps operators to their organisations, completes an opened item
// from its index line and reports arrivals.
#ifdef LOGREPORT_HAVE_PQXX
#include <gtest/gtest.h>
#include <pqxx/pqxx>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "embeddedIndex.h"
#include "pgIndex.h"
#include "privatePostgres.h"
#include "serverProcess.h"
#include "storeWriter.h"
#include "testSupport.h"

namespace {

using namespace console;
using consolefixture::PrivatePostgres;

// The table's rows, or -1 before the shipper has made it.
int64_t rows(const consolefixture::PrivatePostgres& db) {
    try {
        pqxx::connection c(db.conninfo());
        pqxx::nontransaction tx(c);
        return tx.exec("SELECT count(*) FROM logreport_index")[0][0].as<int64_t>();
    } catch (const std::exception&) {
        return -1;  // the shipper has not made the table yet
    }
}

// The shipper is asynchronous: its result is polled, bounded.
bool waitForRows(const consolefixture::PrivatePostgres& db, int64_t n) {
    for (int i = 0; i < 600; ++i) {
        if (rows(db) == n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

consolefixture::Upload upload(const std::string& client, const std::string& nickname, const std::string& meeting,
                              const std::string& time, const std::string& org = "") {
    consolefixture::Upload u;
    u.client = client;
    u.nickname = nickname;
    u.meeting = meeting;
    u.time = time;
    u.org = org;
    return u;
}

// What both indexes must agree on; ids are each index's own.
std::string shown(const ConsoleItem& it) {
    return it.node + "|" + it.org + "|" + std::to_string(it.seq) + "|" + it.cmdType + "|" + it.time + "|" + it.client +
           "|" + it.nickname + "|" + it.meeting + "|" + it.path;
}

// Every page of a search, following the cursors.
std::vector<std::string> allPages(SearchIndex& index, SearchQuery q, const OrgScope& scope,
                                  std::map<std::string, int64_t>& counts) {
    std::vector<std::string> out;
    for (int page = 0; page < 50; ++page) {
        SearchResult r;
        std::string error;
        EXPECT_TRUE(index.search(q, scope, r, error)) << error;
        if (page == 0) counts = r.counts;
        for (const auto& it : r.items) out.push_back(shown(it));
        if (r.next.empty()) break;
        q.hasCursor = parseCursor(r.next, q.cursorTime, q.cursorId);
        EXPECT_TRUE(q.hasCursor);
    }
    return out;
}

TEST(PgIndexConsole, AnswersAsTheEmbeddedIndexOverTheStoreTheServerShipped) {
    testsupport::TempDir dir;
    ::chmod(dir.path().c_str(), 0711);  // the database runs as another account when the test is root
    PrivatePostgres db(dir.file("pg"));
    ASSERT_TRUE(db.start()) << "private PostgreSQL did not start (postgresql-15)";

    const std::string store = dir.file("store");
    consolefixture::StoreWriter w(store, "node-a");
    w.errorLog(upload("PC-SOUND-01", "alice", "123456", "2026-12-06T08:00:00.000Z", "ACME"),
               "08:00 [audio] ERROR capture lost\n08:01 [audio] INFO ok\n");
    w.errorLog(upload("PC-SOUND-01", "alice", "123456", "2026-12-06T08:05:00.000Z", "ACME"), "08:05 FATAL gone\n");
    w.dump(upload("PC-SOUND-01", "alice", "123456", "2026-12-06T08:06:00.000Z", "ACME"), "MDMP");
    w.userReport(upload("PC-SOUND-01", "alice", "123456", "2026-12-06T08:07:00.000Z", "ACME"), "a@example.org",
                 "no sound", {{"shot.png", "PNG"}});
    w.dump(upload("PC_1%X", "bob", "777", "2026-12-06T09:00:00.000Z", "GLOBEX"), "MDMP");
    w.dump(upload("PCX1zX", "Bobby", "777", "2026-12-07T00:00:01.000Z", "GLOBEX"), "MDMP");
    for (int i = 0; i < 7; ++i)
        w.dump(upload("pc-many", "carol", "555", "2026-12-07T01:0" + std::to_string(i) + ":00.000Z", "ACME"), "MDMP");

    testsupport::ServerProcess server(LOGREPORT_SERVER_BIN, store, testsupport::freeLoopbackPort(),
                                      {"--node", "node-a", "--index-db", db.conninfo()});
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(waitForRows(db, 13));

    StoreSet stores({store});
    std::string error;
    ::mkdir(dir.file("state-embedded").c_str(), 0700);
    ::mkdir(dir.file("state-pg").c_str(), 0700);
    EmbeddedIndex embedded;
    ASSERT_TRUE(embedded.open(dir.file("state-embedded"), error)) << error;
    PgIndex pg;
    ASSERT_TRUE(pg.open(db.conninfo(), dir.file("state-pg"), error)) << error;
    EXPECT_EQ(pg.setupNote(), "") << "the trigram indexes could not be made";
    SearchIndex::RefreshStats stats;
    ASSERT_TRUE(embedded.refresh(stores, nullptr, stats, error)) << error;
    ASSERT_TRUE(pg.refresh(stores, nullptr, stats, error)) << error;

    OrgScope all;
    all.all = true;
    OrgScope acme;
    acme.orgs = {"ACME"};
    struct Case {
        const char* what;
        SearchQuery q;
        size_t expected;
    };
    auto query = [](auto set) {
        SearchQuery q;
        q.limit = 3;  // several pages
        set(q);
        return q;
    };
    const std::vector<Case> cases = {
        {"everything", query([](SearchQuery&) {}), 13},
        {"a meeting", query([](SearchQuery& q) { q.meeting = "123456"; }), 4},
        {"a client substring, any case", query([](SearchQuery& q) { q.client = "sound"; }), 4},
        {"a nickname substring", query([](SearchQuery& q) { q.client = "BOB"; }), 2},
        {"_ and % are characters, not patterns", query([](SearchQuery& q) { q.client = "C_1%"; }), 1},
        {"a short substring", query([](SearchQuery& q) { q.client = "1%"; }), 1},
        {"a kind", query([](SearchQuery& q) { q.kind = "reportLog"; }), 2},
        {"an organisation", query([](SearchQuery& q) { q.org = "GLOBEX"; }), 2},
        {"a time range", query([](SearchQuery& q) {
             q.from = "2026-12-06T08:05:00.000Z";
             q.to = "2026-12-07T00:00:01.000Z";
         }), 4},
        {"a node", query([](SearchQuery& q) { q.node = "node-b"; }), 0},
    };
    for (const auto& c : cases) {
        for (const OrgScope* scope : {&all, &acme}) {
            std::map<std::string, int64_t> embeddedCounts, pgCounts;
            const auto want = allPages(embedded, c.q, *scope, embeddedCounts);
            const auto got = allPages(pg, c.q, *scope, pgCounts);
            EXPECT_EQ(got, want) << c.what;
            EXPECT_EQ(pgCounts, embeddedCounts) << c.what;
            if (scope == &all) {
                EXPECT_EQ(got.size(), c.expected) << c.what;
            }
            for (const auto& line : got) EXPECT_TRUE(scope->all || line.find("|ACME|") != std::string::npos) << line;
        }
    }

    // An opened item is completed from its index line: the bytes of its
    // command in the appended error log, and where its request is.
    SearchQuery logs;
    logs.limit = 10;
    logs.kind = "reportLog";
    SearchResult fromPg, fromEmbedded;
    ASSERT_TRUE(pg.search(logs, all, fromPg, error));
    ASSERT_TRUE(embedded.search(logs, all, fromEmbedded, error));
    ASSERT_EQ(fromPg.items.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        ConsoleItem a, b;
        ASSERT_TRUE(pg.item(fromPg.items[i].id, all, a));
        ASSERT_TRUE(embedded.item(fromEmbedded.items[i].id, all, b));
        EXPECT_TRUE(a.hasRange);
        EXPECT_EQ(a.offset, b.offset);
        EXPECT_EQ(a.length, b.length);
        EXPECT_EQ(a.bytes, b.bytes);
        EXPECT_EQ(a.meta, b.meta);
        StoreDir where;
        ASSERT_TRUE(pg.storeDir(a.storeNo, where));
        EXPECT_EQ(where.root, stores.dirs()[0].root);
    }
    // Another organisation's id is not found, as if it did not exist; nor is an id never given.
    SearchQuery globex;
    globex.limit = 1;
    globex.org = "GLOBEX";
    SearchResult other;
    ASSERT_TRUE(pg.search(globex, all, other, error));
    ASSERT_EQ(other.items.size(), 1u);
    ConsoleItem none;
    EXPECT_FALSE(pg.item(other.items[0].id, acme, none));
    EXPECT_FALSE(pg.item(999999, all, none));

    // An upload after the start arrives through the table for the live view, once.
    w.dump(upload("PC-LIVE", "dan", "424242", "2026-12-07T02:00:00.000Z", "ACME"), "MDMP");
    ASSERT_TRUE(waitForRows(db, 14));
    std::vector<ConsoleItem> added;
    ASSERT_TRUE(pg.refresh(stores, &added, stats, error)) << error;
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].client, "PC-LIVE");
    EXPECT_GT(added[0].id, 0);
    added.clear();
    ASSERT_TRUE(pg.refresh(stores, &added, stats, error)) << error;
    EXPECT_TRUE(added.empty());
}

TEST(PgIndexConsole, AnUnreachableDatabaseOrAMissingTableIsRefusedWithAMessage) {
    testsupport::TempDir dir;
    PgIndex pg;
    std::string error;
    EXPECT_FALSE(pg.open("host=127.0.0.1 port=" + std::to_string(testsupport::freeLoopbackPort()) +
                             " user=logreport password=secret-word dbname=postgres",
                         dir.path(), error));
    EXPECT_NE(error.find("index database"), std::string::npos) << error;
    EXPECT_EQ(error.find("secret-word"), std::string::npos) << error;

    ::chmod(dir.path().c_str(), 0711);
    PrivatePostgres db(dir.file("pg"));
    ASSERT_TRUE(db.start());
    error.clear();
    EXPECT_FALSE(pg.open(db.conninfo(), dir.path(), error));
    EXPECT_NE(error.find("logreport_index does not exist"), std::string::npos) << error;
}

}  // namespace
#endif
