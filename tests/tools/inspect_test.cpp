// The report file walker and logreport-inspect on healthy and damaged files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>

#include <rapidjson/document.h>

#include "NQCompress.h"
#include "store/reportFileReader.h"
#include "testSupport.h"

namespace {

using namespace NQBase;
using testsupport::readFile;
using testsupport::writeFile;

template <class Record>
std::string encode(const Record& record) {
    std::ostringstream out;
    record.write(out);
    return out.str();
}

std::string segment(int32_t sequence, int32_t type, const std::string& record, int32_t extraLength = 0) {
    logSegment seg;
    seg.length = static_cast<int32_t>(kLogSegmentSize + record.size()) + extraLength;
    seg.sequence = sequence;
    seg.type = type;
    seg.writeTime = 1700000000;
    return encode(seg) + record;
}

// A consistent file: header, then the segments, the first `consumed` of them consumed.
std::string reportFile(const std::vector<std::string>& segments, int consumed) {
    std::string body;
    logHeader h = logHeader::fresh();
    for (size_t i = 0; i < segments.size(); ++i) {
        if (static_cast<int>(i) == consumed) h.position = static_cast<int32_t>(kLogHeaderSize + body.size());
        body += segments[i];
    }
    h.fileSize = static_cast<int32_t>(kLogHeaderSize + body.size());
    h.total = static_cast<int32_t>(segments.size());
    h.index = consumed;
    if (consumed == h.total) h.position = h.fileSize;
    return encode(h) + body;
}

// Runs the tool; returns its exit status and fills output with stdout and stderr.
int inspect(const std::string& args, std::string& output) {
    FILE* pipe = popen((LOGREPORT_TOOLS_DIR "/inspect/logreport-inspect " + args + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    output.clear();
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class InspectTest : public testing::Test {
protected:
    void SetUp() override {
        zlib_compress(NQByteArray(std::string("first error\n")), err.data, 6);
        report.contact = "me@example.org";
        report.attachments.push_back({"shot.png", "screen", NQByteArray(std::string("\x89PNG\0", 5))});
        healthy = {segment(0, segErrLog, encode(err)), segment(1, segUserReport, encode(report)),
                   segment(2, segDetailLog, encode(detailLogInfo()))};
    }
    testsupport::TempDir dir;
    const std::string rpt = dir.file("client.log.rpt");
    errLogInfo err;
    userReport report;
    std::vector<std::string> healthy;
};

TEST_F(InspectTest, WalkerSaysWhereAndWhyOnDamage) {
    const std::string errRecord = encode(err);
    const struct {
        std::string bytes;
        std::string problem;
        bool walkable;
    } cases[] = {
        {reportFile({healthy[0], healthy[2]}, 0).replace(12, 4, std::string("\x15\0\0\0", 4)), "offset 12: position 21 is not on a segment boundary", false},
        {reportFile({segment(0, segErrLog, errRecord, -30)}, 0), "offset 20: segment length", false},
        {reportFile({segment(0, segErrLog, errRecord, 0x7FFFFF00)}, 0), "offset 20: segment of", false},
        {reportFile({healthy[0], segment(1, 7, errRecord)}, 0), "unknown segment type 7", false},
        {reportFile({segment(0, segErrLog, errRecord + "tail")}, 0), "errLog record: ends after", true},
        {reportFile({segment(0, segDetailLog, errRecord)}, 0), "detailLog record: cut short", true},
        {reportFile(healthy, 0).substr(0, 60), "offset 16: fileSize", false},
    };
    for (const auto& c : cases) {
        writeFile(rpt, c.bytes);
        const ReportFileScan scan = scanReportFile(rpt);
        bool found = false;
        for (const std::string& p : scan.problems) found = found || p.find(c.problem) != std::string::npos;
        EXPECT_TRUE(found) << c.problem << " not among " << scan.problems.size() << " problems";
        EXPECT_EQ(scan.queueWalkable, c.walkable) << c.problem;
    }
}

TEST(SegmentAge, LimitsOfTheUploadCycle) {
    // 7 days for a detail log, 14 for other types, and at most a day of clock skew.
    const int32_t types[] = {segDetailLog, segDetailLog, segDumpLog, segDumpLog, segDumpLog, segDumpLog};
    const int64_t ages[] = {604800, 604801, 14 * 86400, 14 * 86400 + 1, -86400, -86401};
    for (int i = 0; i < 6; ++i) {
        SegmentInfo info;
        info.type = types[i];
        info.writeTime = static_cast<uint32_t>(1700000000 - ages[i]);
        EXPECT_EQ(segmentOutOfDate(info, 1700000000), i % 2 == 1) << types[i] << " aged " << ages[i];
    }
}

// The walker behind the tool is read through its --json output here.
TEST_F(InspectTest, ToolVerifiesHealthyAndDamagedFilesAndExtracts) {
    writeFile(rpt, reportFile(healthy, 1));
    std::string out;
    EXPECT_EQ(inspect("--verify " + rpt, out), 0) << out;
    EXPECT_NE(out.find("load_logHeader: keeps the file"), std::string::npos) << out;
    inspect("--json " + rpt, out);
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(out.c_str()).HasParseError()) << out;
    EXPECT_EQ(doc["queued"].GetInt(), 2);
    EXPECT_STREQ(doc["segments"][0]["state"].GetString(), "consumed");
    EXPECT_EQ(doc["segments"][2]["offset"].GetInt64(), int64_t(20 + healthy[0].size() + healthy[1].size()));
    EXPECT_TRUE(doc["segments"][1]["recordValid"].GetBool());

    EXPECT_EQ(inspect(rpt + " --extract 0 --out " + dir.file("err.txt"), out), 0) << out;
    EXPECT_EQ(readFile(dir.file("err.txt")), "first error\n");
    EXPECT_EQ(inspect(rpt + " --extract 1 --out " + dir.file("user"), out), 0) << out;
    EXPECT_EQ(readFile(dir.file("user/report.json")), report.toJson());
    EXPECT_EQ(readFile(dir.file("user/attachment-1.bin")), std::string("\x89PNG\0", 5));

    writeFile(rpt, reportFile({healthy[0], segment(1, 7, "")}, 0));
    EXPECT_EQ(inspect("--verify " + rpt, out), 1) << out;
    EXPECT_NE(out.find("unknown segment type 7"), std::string::npos) << out;
}

}  // namespace
