// The JSON documents as whole texts: member order, layout and escapes.
#include <gtest/gtest.h>

#include "store/reportRecords.h"

namespace {

using namespace NQBase;

TEST(RecordJson, DetailLogEscapesControlBytesCopiesHighBytesAndLeavesDataOut) {
    detailLogInfo detail;
    detail.confId = -1;
    detail.filename = "a\tb\x01\x1F\x0B\"q\\/\x7F\xC3\xA9\xFF\b\f\r\n";
    detail.data = NQByteArray(std::string("never in the document"));
    EXPECT_EQ(detail.toJson(),
              "{\n    \"confId\": -1,\n"
              "    \"filename\": \"a\\tb\\u0001\\u001F\\u000B\\\"q\\\\/\x7F\xC3\xA9\xFF\\b\\f\\r\\n\"\n}");
}

TEST(RecordJson, DumpAndUserReportMembersInOrder) {
    FatalLogInfo dump;
    dump.version = std::string("3.1\0hidden", 10);  // a zero byte ends the text
    dump.conferenceID = -2147483647 - 1;
    dump.client = "pc";
    dump.content = "code: c0000005\naddress: 0x1\n";
    EXPECT_EQ(dump.toJson(),
              "{\n    \"version\": \"3.1\",\n    \"conferenceID\": -2147483648,\n    \"userID\": 0,\n"
              "    \"client\": \"pc\",\n    \"clientIP\": \"\",\n    \"logDate\": \"\",\n"
              "    \"content\": \"code: c0000005\\naddress: 0x1\\n\"\n}");

    userReport report;
    report.version = "v";
    report.conferenceID = 7;
    report.contact = "mail";
    report.attachments.push_back({"n", "t", NQByteArray(std::string("d"))});  // never in the document
    EXPECT_EQ(report.toJson(),
              "{\n    \"version\": \"v\",\n    \"conferenceID\": 7,\n    \"userID\": 0,\n    \"client\": \"\",\n"
              "    \"clientIP\": \"\",\n    \"reportDate\": \"\",\n    \"contact\": \"mail\",\n    \"content\": \"\"\n}");
}

}  // namespace
