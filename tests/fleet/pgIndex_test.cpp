// The shared index in a private PostgreSQL (scripts/private-pg.sh, on
// 127.0.0.1): uploads never wait for the database, and every index line
// reaches the table exactly once after an outage and after a lost cursor, from
// the root store and from every organisation's store.
#include <csignal>
#include <chrono>
#include <thread>

#include "fleetFixture.h"
#include "privatePostgres.h"

namespace {

using namespace fleettest;

TEST(PgIndexTest, RowsArriveOnceAfterAnOutageAndAfterALostCursor) {
#ifndef LOGREPORT_HAVE_PQXX
    GTEST_SKIP() << "built without libpqxx";
#endif
    testsupport::TempDir dir;
    ::chmod(dir.path().c_str(), 0711);  // the database runs as another account when the test is root
    PrivatePostgres db(dir.file("pg"));
    ASSERT_TRUE(db.start());
    const std::string store = dir.file("store");
    Client client;
    {
        Server server(store, "alpha", {"--index-db", db.conninfo()});
        client.sendOneOfEach(server, "pc-1", "alice", 7);
        ASSERT_TRUE(db.waitForRows("5"));
        EXPECT_EQ("pc-1|alice|7", db.sql("SELECT pcid, nickname, conference FROM logreport_index WHERE seq = 2"));

        ASSERT_TRUE(db.stop());
        auto begin = std::chrono::steady_clock::now();
        client.sendOneOfEach(server, "pc-2", "bob", 8);  // answered although the database is gone
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
        ASSERT_TRUE(db.start());
        ASSERT_TRUE(db.waitForRows("10"));
        EXPECT_EQ("10", db.sql("SELECT count(DISTINCT seq) FROM logreport_index WHERE node = 'alpha'"));
    }
    // A lost cursor offers every line again; the table keeps one row per line.
    std::filesystem::remove(store + "/index.pgcursor.alpha");
    Server again(store, "alpha", {"--index-db", db.conninfo()});
    client.sendOneOfEach(again, "pc-3", "carol", 9);
    ASSERT_TRUE(db.waitForRows("15"));
    EXPECT_EQ("15", db.sql("SELECT count(*) FROM logreport_index"));

    std::string out;
    ASSERT_EQ(0, run(queryTool() + " --db '" + db.conninfo() + "' --pcid pc-2 --json", out));
    EXPECT_EQ(4, countOf(out, "\"seq\":"));
    EXPECT_NE(std::string::npos, out.find("\"path\":\"dumps/pc-2/alpha-8.dmp\"")) << out;
}

// The table as the version before organisation stores created it: keyed on
// node and seq alone.
const char kEarlierTable[] =
    "CREATE TABLE logreport_index (node text NOT NULL, seq bigint NOT NULL, time timestamptz, "
    "cmd_id integer NOT NULL, cmd_type text NOT NULL, pcid text NOT NULL, nickname text NOT NULL, "
    "conference text NOT NULL, org text NOT NULL, peer text NOT NULL, json text NOT NULL, "
    "compressed_size bigint NOT NULL, inflated_size bigint NOT NULL, path text NOT NULL, rejected text NOT NULL, "
    "PRIMARY KEY (node, seq))";

// Two organisations number their commands from 1 on the same node, the second
// one added by a reload after the start; the table is one an earlier version
// made. Every organisation's rows arrive once, with the organisation, and
// each organisation's shipping state survives a restart.
TEST(PgIndexTest, EveryOrganisationStoreShipsOnceIntoAnEarlierTable) {
#ifndef LOGREPORT_HAVE_PQXX
    GTEST_SKIP() << "built without libpqxx";
#endif
    testsupport::TempDir dir;
    ::chmod(dir.path().c_str(), 0711);
    PrivatePostgres db(dir.file("pg"));
    ASSERT_TRUE(db.start());
    ASSERT_EQ("", db.sql(kEarlierTable));
    ASSERT_EQ("", db.sql("INSERT INTO logreport_index VALUES ('old', 1, now(), 11047, 'reportLog', 'pc-0', '', '', "
                         "'', '', '', 1, 1, 'errlog/pc-0.log', '')"));

    const std::string store = dir.file("store");
    const std::string tokens = dir.file("tokens");
    testsupport::writeFile(tokens, "acme token-acme-0123456789\n");
    const std::vector<std::string> args{"--tokens", tokens, "--index-db", db.conninfo()};
    Client acme("token-acme-0123456789");
    Client globex("token-globex-0123456789");
    const std::string byOrg = "SELECT org, count(*) FROM logreport_index GROUP BY org ORDER BY org";
    {
        Server server(store, "alpha", args);
        acme.sendOneOfEach(server, "pc-a", "anna", 7);
        testsupport::writeFile(tokens, "acme token-acme-0123456789\nglobex token-globex-0123456789\n");
        server.signal(SIGHUP);
        ASSERT_TRUE(server.waitForOutput("tokens reloaded"));
        globex.sendOneOfEach(server, "pc-g", "gina", 8);
        ASSERT_TRUE(db.waitForRows("11")) << db.sql(byOrg);
        EXPECT_EQ("|1\nacme|5\nglobex|5", db.sql(byOrg));
        EXPECT_EQ("acme|pc-a|dumps/pc-a/alpha-3.dmp\nglobex|pc-g|dumps/pc-g/alpha-3.dmp",
                  db.sql("SELECT org, pcid, path FROM logreport_index WHERE node = 'alpha' AND seq = 3 ORDER BY org"));
    }
    // A row taken out of the table comes back only if its organisation's
    // cursor was lost: after the restart it must stay away, and the new lines
    // of both organisations must arrive.
    ASSERT_EQ("", db.sql("DELETE FROM logreport_index WHERE org = 'acme' AND seq = 2"));
    // The same commands again on purpose: a restarted server would now know
    // them from its index and drop them as re-sends.
    auto noDedupe = args;
    noDedupe.insert(noDedupe.end(), {"--dedupe-window", "0"});
    Server again(store, "alpha", noDedupe);
    acme.sendOneOfEach(again, "pc-a", "anna", 7);
    globex.sendOneOfEach(again, "pc-g", "gina", 8);
    ASSERT_TRUE(db.waitForRows("20")) << db.sql(byOrg);
    EXPECT_EQ("|1\nacme|9\nglobex|10", db.sql(byOrg));
    EXPECT_EQ("0", db.sql("SELECT count(*) FROM logreport_index WHERE org = 'acme' AND seq = 2"));

    std::string out;
    ASSERT_EQ(0, run(queryTool() + " --db '" + db.conninfo() + "' --org globex --cmd reportDump", out));
    EXPECT_NE(std::string::npos, out.find("2 entries")) << out;
    EXPECT_NE(std::string::npos, out.find("pcid=pc-g nickname=- conference=8 org=globex")) << out;
}

}  // namespace
