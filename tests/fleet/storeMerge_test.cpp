// Stores written by two nodes merge without a collision, and logreport-query
// finds a client's material across them.
#include <filesystem>
#include <set>

#include "fleetFixture.h"

namespace {

namespace fs = std::filesystem;
using namespace fleettest;

class StoreMergeTest : public ::testing::Test {
protected:
    void SetUp() override {
        Server a(storeA(), "alpha");
        Server b(storeB(), "beta");
        // The same client material reaches both servers: the worst case for names.
        client_.sendOneOfEach(a, "pc-1", "alice", 7);
        client_.sendOneOfEach(b, "pc-1", "alice", 7);
        client_.sendOneOfEach(b, "pc-2", "bob", 8);
    }
    std::string storeA() const { return dir_.file("a"); }
    std::string storeB() const { return dir_.file("b"); }

    testsupport::TempDir dir_;
    Client client_;
};

TEST_F(StoreMergeTest, SecondStoreCopiesIntoTheFirstWithoutReplacingAFile) {
    // Appended files (error and detail logs) and the index are concatenated;
    // every other file must be new to the first store.
    int copied = 0;
    for (const auto& e : fs::recursive_directory_iterator(storeB())) {
        if (!e.is_regular_file()) continue;
        std::string rel = fs::relative(e.path(), storeB()).string();
        if (rel == "seq.reserved") continue;  // the server's own counter, not material
        bool appended = rel.rfind("index/", 0) == 0 || rel.rfind("meta/", 0) == 0 || rel.rfind("errlog/", 0) == 0 ||
                        rel.rfind("detail/", 0) == 0;
        fs::path target = fs::path(storeA()) / rel;
        if (appended) {
            testsupport::writeFile(target.string(), testsupport::readFile(target.string()) + testsupport::readFile(e.path()));
            continue;
        }
        EXPECT_FALSE(fs::exists(target)) << rel << " collides";
        fs::create_directories(target.parent_path());
        fs::copy_file(e.path(), target);
        ++copied;
    }
    EXPECT_GE(copied, 10);  // dumps with their info, reports, quarantined commands

    std::string out;
    ASSERT_EQ(0, run(queryTool() + " --store " + storeA() + " --json", out));
    EXPECT_EQ(15, countOf(out, "\"seq\":"));
    std::set<std::string> paths;
    for (size_t at = out.find("\"path\":\""); at != std::string::npos; at = out.find("\"path\":\"", at + 1))
        paths.insert(out.substr(at, out.find('"', at + 8) - at));
    EXPECT_EQ(13u, paths.size());  // both nodes appended to one error and one detail file
    EXPECT_EQ(5, countOf(out, "\"node\":\"alpha\""));
    EXPECT_EQ(10, countOf(out, "\"node\":\"beta\""));
}

TEST_F(StoreMergeTest, QueryFindsAClientAcrossStoresByEveryKey) {
    const std::string stores = queryTool() + " --store " + storeA() + " --store " + storeB();
    std::string out;
    ASSERT_EQ(0, run(stores + " --pcid pc-1", out));
    EXPECT_NE(std::string::npos, out.find("8 entries")) << out;  // 4 identified commands on each node
    EXPECT_NE(std::string::npos, out.find("node alpha path dumps/pc-1/alpha-3.dmp")) << out;
    EXPECT_NE(std::string::npos, out.find("node beta path reports/beta-4")) << out;

    ASSERT_EQ(0, run(stores + " --nickname bob --json", out));
    EXPECT_EQ(1, countOf(out, "\"seq\":"));
    EXPECT_NE(std::string::npos, out.find("\"file\":\"" + storeB() + "/detail/bob/bob_pc-2_app_1206.log\"")) << out;

    ASSERT_EQ(0, run(stores + " --conference 8 --cmd reportDump --json", out));
    EXPECT_EQ(1, countOf(out, "\"seq\":"));
    EXPECT_NE(std::string::npos, out.find("\"path\":\"dumps/pc-2/beta-8.dmp\"")) << out;

    ASSERT_EQ(0, run(stores + " --cmd 11047 --json", out));
    EXPECT_EQ(6, countOf(out, "\"seq\":"));
    EXPECT_EQ(3, countOf(out, "\"rejected\":\"data does not inflate\""));

    // The same store named twice is read once.
    ASSERT_EQ(0, run(queryTool() + " --store " + storeB() + " --store " + storeB() + " --json", out));
    EXPECT_EQ(10, countOf(out, "\"seq\":"));

    EXPECT_EQ(1, run(stores + " --since 2999-01-01", out));
    EXPECT_NE(std::string::npos, out.find("0 entries"));
    EXPECT_EQ(0, run(stores + " --since 2000-01-01 --until 2999-01-01 --pcid pc-2", out));
    EXPECT_NE(std::string::npos, out.find("4 entries")) << out;
    EXPECT_EQ(2, run(queryTool() + " --store " + dir_.file("missing"), out));
}

}  // namespace
