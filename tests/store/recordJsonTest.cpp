// The JSON documents as whole texts: member order, layout and escapes.
#include <gtest/gtest.h>

#include "store/reportRecords.h"

namespace {

using namespace NQBase;

TEST(RecordJson, DetailLogLayout) {
    detailLogInfo detail;
    detail.confId = 12345;
    detail.data = NQByteArray(std::string("never in the document"));
    EXPECT_EQ(detail.toJson(), "{\n    \"confId\": 12345,\n    \"filename\": \"\"\n}");
}

TEST(RecordJson, EscapesControlBytesAndCopiesHighBytes) {
    detailLogInfo detail;
    detail.confId = -1;
    detail.filename = "a\tb\x01\x1F\x0B\"q\\/\x7F\xC3\xA9\xFF\b\f\r\n";
    EXPECT_EQ(detail.toJson(),
              "{\n    \"confId\": -1,\n"
              "    \"filename\": \"a\\tb\\u0001\\u001F\\u000B\\\"q\\\\/\x7F\xC3\xA9\xFF\\b\\f\\r\\n\"\n}");
}

TEST(RecordJson, DumpMembersInOrderAndZeroByteCutsText) {
    FatalLogInfo dump;
    dump.version = std::string("3.1\0hidden", 10);
    dump.conferenceID = -2147483647 - 1;
    dump.userID = 0;
    dump.client = "pc";
    dump.content = "code: c0000005\naddress: 0x1\nmodule: m.dll\n";
    EXPECT_EQ(dump.toJson(),
              "{\n"
              "    \"version\": \"3.1\",\n"
              "    \"conferenceID\": -2147483648,\n"
              "    \"userID\": 0,\n"
              "    \"client\": \"pc\",\n"
              "    \"clientIP\": \"\",\n"
              "    \"logDate\": \"\",\n"
              "    \"content\": \"code: c0000005\\naddress: 0x1\\nmodule: m.dll\\n\"\n"
              "}");
}

TEST(RecordJson, UserReportIgnoresAttachments) {
    userReport report;
    report.version = "v";
    report.conferenceID = 7;
    report.contact = "mail";
    const std::string expected =
        "{\n    \"version\": \"v\",\n    \"conferenceID\": 7,\n    \"userID\": 0,\n    \"client\": \"\",\n"
        "    \"clientIP\": \"\",\n    \"reportDate\": \"\",\n    \"contact\": \"mail\",\n    \"content\": \"\"\n}";
    EXPECT_EQ(report.toJson(), expected);
    report.attachments.push_back({"n", "t", NQByteArray(std::string("d"))});
    EXPECT_EQ(report.toJson(), expected);
}

}  // namespace
