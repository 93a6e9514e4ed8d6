// The server list text as the selector and the fallback see it.
#include <gtest/gtest.h>

#include "upload/serverList.h"

using namespace NQBase;

namespace {

TEST(ServerList, EveryEntryBecomesACandidateInOrder) {
    std::list<NQIceSvrSelect::SvrDat> candidates;
    std::string bad;
    ASSERT_TRUE(buildCandidates("10.0.0.1:80;10.0.0.2:81:9", candidates, bad));
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates.front().svrIndex, 0);
    EXPECT_EQ(candidates.front().svrProxy, "Log.ClientLogServer:tcp -h 10.0.0.1 -p 80");
    EXPECT_EQ(candidates.front().svrInfo["server"].toString(), "10.0.0.1:80");
    EXPECT_EQ(candidates.back().svrIndex, 1);
    EXPECT_EQ(candidates.back().svrProxy, "Log.ClientLogServer:tcp -h 10.0.0.2 -p 81") << "a third piece is ignored";
}

TEST(ServerList, AnEntryWithoutPortStopsTheWholeList) {
    std::list<NQIceSvrSelect::SvrDat> candidates;
    std::string bad;
    EXPECT_FALSE(buildCandidates("10.0.0.1:80;backup", candidates, bad));
    EXPECT_EQ(bad, "backup");
    EXPECT_TRUE(candidates.empty());
    EXPECT_FALSE(buildCandidates("10.0.0.1:80;", candidates, bad)) << "a trailing ';' leaves an empty entry";
    EXPECT_EQ(bad, "");
    EXPECT_EQ(serverListEntries(""), 0u);
    EXPECT_EQ(serverListEntries("a:1"), 1u);
}

TEST(ServerList, FallbackProxyQuotesAnIPv6Host) {
    EXPECT_EQ(firstEntryProxy("10.0.0.1:80;10.0.0.2:81"), "Log.ClientLogServer:tcp -h 10.0.0.1 -p 80");
    EXPECT_EQ(firstEntryProxy("::1:12100;10.0.0.2:81"), "Log.ClientLogServer:tcp -h \"::1\" -p 12100");
    EXPECT_EQ(firstEntryProxy(std::string(400, 'h') + ":1;x:2").size(), 255u);
}

}  // namespace
