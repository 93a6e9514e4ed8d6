// String services: formatting, splitting, host:port entries, MatchSubString.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "NQString.h"

using namespace NQBase;

TEST(StringServices, FormatLongerThanInternalBufferAndSplitKeepsEmptyPieces) {
    const std::string piece(5000, 'x');
    EXPECT_EQ(stdstring::FormatString("%s|%d|%s", piece.c_str(), 42, piece.c_str()), piece + "|42|" + piece);
    const std::pair<std::string, std::vector<std::string>> splits[] = {
        {"a;;b", {"a", "", "b"}}, {"a;", {"a", ""}}, {"", {}}};
    for (const auto& [text, expected] : splits) {
        std::vector<std::string> pieces;
        stdstring::SplitString(pieces, text, ';', false);
        EXPECT_EQ(pieces, expected) << text;
    }
}

TEST(StringServices, HostAndPortEntriesIncludingIPv6) {
    const struct { const char* entry; bool ok; const char* host; const char* port; } cases[] = {
        {"log.example.com:4063", true, "log.example.com", "4063"},
        {"::1:80", true, "::1", "80"},  // the last colon separates the port
        {"[fe80::1:2]:4063", true, "fe80::1:2", "4063"},
        {"10.0.0.1", false, "10.0.0.1", ""},
        {"[::1]", false, "::1", ""},
    };
    for (const auto& c : cases) {
        std::string host, port = "stale";
        EXPECT_EQ(splitHostAndPort(c.entry, host, port), c.ok) << c.entry;
        EXPECT_EQ(host, c.host) << c.entry;
        EXPECT_EQ(port, c.port) << c.entry;
    }
    for (const char* v6 : {"::1", "[2001:db8::7]", "fe80::1%eth0"}) EXPECT_TRUE(isIPV6Str(v6)) << v6;
    for (const char* other : {"10.0.0.1", "log.example.com", "", "[]"}) EXPECT_FALSE(isIPV6Str(other)) << other;
}

TEST(StringServices, MatchSubStringHitMissCutAndOpenEnd) {
    char out[129];
    int capacity = 128;
    EXPECT_TRUE(MatchSubString("x\nMeetID:1234\nIP:1.2.3.4\n", "\nMeetID:", "\n", out, capacity));
    EXPECT_STREQ(out, "1234");
    EXPECT_EQ(capacity, 4);

    capacity = 128;
    EXPECT_TRUE(MatchSubString("\nClient:PC-7", "\nClient:", "\n", out, capacity));
    EXPECT_STREQ(out, "PC-7");

    std::memset(out, 'Z', sizeof out);
    capacity = 128;
    EXPECT_FALSE(MatchSubString("\nIP:1.2.3.4\n", "\nMeetID:", "\n", out, capacity));
    EXPECT_EQ(out[0], 'Z');
    EXPECT_EQ(out[127], 'Z');

    // A long value is cut to capacity - 1; out[128] is a guard past the capacity given.
    const std::string text = "\nModule:" + std::string(300, 'm') + "\n";
    capacity = 128;
    EXPECT_TRUE(MatchSubString(text.c_str(), "\nModule:", "\n", out, capacity));
    EXPECT_EQ(capacity, 127);
    EXPECT_EQ(std::string(out), std::string(127, 'm'));
    EXPECT_EQ(out[128], 'Z');
}
