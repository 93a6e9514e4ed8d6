// logreport-query --show prints each command's JSON as the server received it,
// whichever way the store keeps it, and reads organisation stores (the
// server's --tokens) one folder each.
#include <filesystem>

#include "fleetFixture.h"

namespace {

using namespace fleettest;

// A line as servers wrote it before meta/ existed: the JSON inline, no node.
const char kInlineJsonLine[] =
    R"({"seq":4,"time":"2026-11-30T10:00:00.000Z","peer":"tcp -h 10.0.0.9 -p 5000","cmdId":11049,)"
    R"("cmdType":"reportDump","json":"{\"info\":{\"client\":\"pc-o\",\"conferenceID\":3}}",)"
    R"("compressedSize":12,"inflatedSize":4,"path":"dumps/pc-o/4.dmp"})"
    "\n";

TEST(QueryShowTest, CommandJsonComesFromMetaRequestOrInlineAndOrganisationStoresStayApart) {
    testsupport::TempDir dir;
    const std::string store = dir.file("store");
    const std::string tokens = dir.file("tokens");
    testsupport::writeFile(tokens, "acme token-acme-0123456789\nglobex token-globex-0123456789\n");
    {
        Server server(store, "alpha", {"--tokens", tokens});
        Client acme("token-acme-0123456789");
        Client globex("token-globex-0123456789");
        acme.sendOneOfEach(server, "pc-a", "anna", 7);
        globex.sendOneOfEach(server, "pc-g", "gina", 8);
        globex.send(server, 11049, R"({"nothing":1})", deflated("MDMP"), "reportDump");  // quarantined
    }
    const std::string acmeStore = queryTool() + " --store " + store + "/acme";
    const std::string globexStore = " --store " + store + "/globex";
    std::string out;

    ASSERT_EQ(0, run(acmeStore + " --cmd reportDump --show", out));
    EXPECT_NE(std::string::npos, out.find("1 entry")) << out;
    const std::string dumpJson = R"({"info":{"conferenceID":7,"client":"pc-a","logDate":"x"}})";
    EXPECT_NE(std::string::npos, out.find("\n    json: " + dumpJson + "\n")) << out;
    ASSERT_EQ(0, run(acmeStore + " --cmd reportUser --json", out));
    EXPECT_NE(std::string::npos,
              out.find(R"("json":"{\"conferenceID\":7,\"client\":\"pc-a\",\"content\":\"broken\"}")"))
        << out;

    // A quarantined command has no meta/ file: its request.json is shown.
    ASSERT_EQ(0, run(queryTool() + globexStore + " --cmd reportDump --show", out));
    EXPECT_NE(std::string::npos, out.find("(rejected: json has no info object)\n")) << out;
    EXPECT_NE(std::string::npos, out.find("\n    json: {\"nothing\":1}\n")) << out;

    // Both organisations number from alpha-1: one entry each all the same.
    ASSERT_EQ(0, run(acmeStore + globexStore + " --json", out));
    EXPECT_EQ(11, countOf(out, "\"seq\":"));
    EXPECT_EQ(1, countOf(out, "\"path\":\"dumps/pc-a/alpha-3.dmp\"")) << out;
    EXPECT_EQ(1, countOf(out, "\"path\":\"dumps/pc-g/alpha-3.dmp\"")) << out;

    const std::string older = dir.file("older");
    std::filesystem::create_directories(older);
    testsupport::writeFile(older + "/index.jsonl", kInlineJsonLine);
    ASSERT_EQ(0, run(queryTool() + " --store " + older + " --show", out));
    EXPECT_NE(std::string::npos, out.find("pcid=pc-o nickname=- conference=3")) << out;
    EXPECT_NE(std::string::npos, out.find("\n    json: {\"info\":{\"client\":\"pc-o\",\"conferenceID\":3}}\n")) << out;
}

}  // namespace
