// String services: formatting, splitting, host:port entries, MatchSubString.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "NQString.h"

using namespace NQBase;

TEST(FormatString, LongerThanAnyInternalBufferIsComplete) {
    const std::string piece(5000, 'x');
    const std::string text = stdstring::FormatString("%s|%d|%s", piece.c_str(), 42, piece.c_str());
    EXPECT_EQ(text, piece + "|42|" + piece);
}

TEST(SplitString, KeepsEmptyPiecesWhenAsked) {
    std::vector<std::string> pieces;
    stdstring::SplitString(pieces, "a;;b", ';', false);
    EXPECT_EQ(pieces, (std::vector<std::string>{"a", "", "b"}));
    pieces.clear();
    stdstring::SplitString(pieces, "a;", ';', false);
    EXPECT_EQ(pieces, (std::vector<std::string>{"a", ""}));
    pieces.clear();
    stdstring::SplitString(pieces, "", ';', false);
    EXPECT_TRUE(pieces.empty());
}

TEST(SplitHostAndPort, SplitsAtLastColon) {
    std::string host, port;
    EXPECT_TRUE(splitHostAndPort("log.example.com:4063", host, port));
    EXPECT_EQ(host, "log.example.com");
    EXPECT_EQ(port, "4063");
    EXPECT_TRUE(splitHostAndPort("::1:80", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, "80");
}

TEST(SplitHostAndPort, StripsBracketsOfIPv6Host) {
    std::string host, port;
    EXPECT_TRUE(splitHostAndPort("[fe80::1:2]:4063", host, port));
    EXPECT_EQ(host, "fe80::1:2");
    EXPECT_EQ(port, "4063");
}

TEST(SplitHostAndPort, WithoutPortFails) {
    std::string host, port = "stale";
    EXPECT_FALSE(splitHostAndPort("10.0.0.1", host, port));
    EXPECT_EQ(host, "10.0.0.1");
    EXPECT_EQ(port, "");
    EXPECT_FALSE(splitHostAndPort("[::1]", host, port));
    EXPECT_EQ(host, "::1");
}

TEST(IsIPV6Str, RecognisesIPv6OnlyWithOrWithoutBrackets) {
    EXPECT_TRUE(isIPV6Str("::1"));
    EXPECT_TRUE(isIPV6Str("[2001:db8::7]"));
    EXPECT_TRUE(isIPV6Str("fe80::1%eth0"));
    EXPECT_FALSE(isIPV6Str("10.0.0.1"));
    EXPECT_FALSE(isIPV6Str("log.example.com"));
    EXPECT_FALSE(isIPV6Str(""));
    EXPECT_FALSE(isIPV6Str("[]"));
}

TEST(MatchSubString, CopiesValueUpToEndMark) {
    char out[128];
    int capacity = sizeof out;
    EXPECT_TRUE(MatchSubString("x\nMeetID:1234\nIP:1.2.3.4\n", "\nMeetID:", "\n", out, capacity));
    EXPECT_STREQ(out, "1234");
    EXPECT_EQ(capacity, 4);
}

TEST(MatchSubString, MissLeavesBufferUntouched) {
    char out[128];
    std::memset(out, 'Z', sizeof out);
    int capacity = sizeof out;
    EXPECT_FALSE(MatchSubString("\nIP:1.2.3.4\n", "\nMeetID:", "\n", out, capacity));
    EXPECT_EQ(out[0], 'Z');
    EXPECT_EQ(out[127], 'Z');
}

TEST(MatchSubString, LongValueIsCutToCapacityMinusOne) {
    const std::string text = "\nModule:" + std::string(300, 'm') + "\n";
    char out[129];
    out[128] = 'G';  // guard byte past the capacity given
    int capacity = 128;
    EXPECT_TRUE(MatchSubString(text.c_str(), "\nModule:", "\n", out, capacity));
    EXPECT_EQ(capacity, 127);
    EXPECT_EQ(std::string(out), std::string(127, 'm'));
    EXPECT_EQ(out[128], 'G');
}

TEST(MatchSubString, ValueWithoutEndMarkRunsToEndOfText) {
    char out[128];
    int capacity = sizeof out;
    EXPECT_TRUE(MatchSubString("\nClient:PC-7", "\nClient:", "\n", out, capacity));
    EXPECT_STREQ(out, "PC-7");
}

