// The report file walker and logreport-inspect on healthy and damaged files.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include <rapidjson/document.h>

#include "NQCompress.h"
#include "store/reportFileReader.h"
#include "testSupport.h"

#if defined(_WIN32)
#  define popen _popen
#  define pclose _pclose
#else
#  include <sys/wait.h>
#endif

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

std::string header(int32_t total, int32_t index, int32_t position, int32_t fileSize) {
    logHeader h = logHeader::fresh();
    h.total = total;
    h.index = index;
    h.position = position;
    h.fileSize = fileSize;
    return encode(h);
}

// A consistent file: header, then the segments, the first n of them consumed.
std::string reportFile(const std::vector<std::string>& segments, int consumed) {
    std::string body;
    int32_t position = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        if (static_cast<int>(i) == consumed) position = static_cast<int32_t>(kLogHeaderSize + body.size());
        body += segments[i];
    }
    const int32_t size = static_cast<int32_t>(kLogHeaderSize + body.size());
    const int32_t total = static_cast<int32_t>(segments.size());
    return header(total, consumed, consumed == total ? size : position, size) + body;
}

errLogInfo compressedErrLog(const std::string& text) {
    errLogInfo record;
    zlib_compress(NQByteArray(text), record.data, 6);
    return record;
}

userReport reportWithAttachment() {
    userReport report;
    report.contact = "me@example.org";
    report.attachments.push_back({"shot.png", "screen", NQByteArray(std::string("\x89PNG\0", 5))});
    return report;
}

struct ToolRun {
    int status;
    std::string output;
};

ToolRun inspect(const std::string& args) {
    const std::string command = LOGREPORT_TOOLS_DIR "/inspect/logreport-inspect " + args + " 2>&1";
    ToolRun run{-1, {}};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) run.output.append(chunk, got);
    const int status = pclose(pipe);
#if defined(_WIN32)
    run.status = status;
#else
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return run;
}

class InspectTest : public testing::Test {
protected:
    testsupport::TempDir dir;
    const std::string rpt = dir.file("client.log.rpt");
    const std::vector<std::string> healthy = {
        segment(0, segErrLog, encode(compressedErrLog("first error\n"))),
        segment(1, segUserReport, encode(reportWithAttachment())),
        segment(2, segDetailLog, encode(detailLogInfo())),
    };
};

TEST_F(InspectTest, WalkerReadsHealthyQueue) {
    writeFile(rpt, reportFile(healthy, 1));
    const ReportFileScan scan = scanReportFile(rpt);
    EXPECT_TRUE(scan.headerValid);
    EXPECT_TRUE(scan.queueWalkable);
    EXPECT_TRUE(scan.problems.empty()) << scan.problems.front();
    ASSERT_EQ(scan.segments.size(), 3u);
    EXPECT_TRUE(scan.segments[0].consumed);
    EXPECT_EQ(scan.queuedCount(), 2);
    EXPECT_EQ(scan.segments[2].offset, static_cast<int64_t>(20 + healthy[0].size() + healthy[1].size()));
    EXPECT_TRUE(scan.segments[1].recordValid);
}

TEST_F(InspectTest, WalkerSaysWhereAndWhyOnDamage) {
    const std::string errRecord = encode(compressedErrLog("x"));
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
        ASSERT_FALSE(scan.problems.empty()) << c.problem;
        bool found = false;
        for (const std::string& p : scan.problems) found = found || p.find(c.problem) != std::string::npos;
        EXPECT_TRUE(found) << c.problem << " not in: " << scan.problems.front();
        EXPECT_EQ(scan.queueWalkable, c.walkable) << c.problem;
    }
}

TEST(SegmentAge, LimitsOfTheUploadCycle) {
    const int64_t now = 1700000000;
    SegmentInfo detail;
    detail.type = segDetailLog;
    detail.writeTime = static_cast<uint32_t>(now - 604800);
    EXPECT_FALSE(segmentOutOfDate(detail, now));
    detail.writeTime -= 1;
    EXPECT_TRUE(segmentOutOfDate(detail, now));
    SegmentInfo dump;
    dump.type = segDumpLog;
    dump.writeTime = static_cast<uint32_t>(now - 8 * 86400);
    EXPECT_FALSE(segmentOutOfDate(dump, now));
    dump.writeTime = static_cast<uint32_t>(now + 86400);
    EXPECT_FALSE(segmentOutOfDate(dump, now));
    dump.writeTime += 1;
    EXPECT_TRUE(segmentOutOfDate(dump, now));
}

TEST_F(InspectTest, ToolVerifiesHealthyAndDamagedFiles) {
    writeFile(rpt, reportFile(healthy, 1));
    const ToolRun good = inspect("--verify " + rpt);
    EXPECT_EQ(good.status, 0) << good.output;
    EXPECT_NE(good.output.find("load_logHeader: keeps the file"), std::string::npos) << good.output;
    EXPECT_NE(good.output.find("userReport"), std::string::npos) << good.output;

    const ToolRun json = inspect("--json " + rpt);
    rapidjson::Document doc;
    doc.Parse(json.output.c_str());
    ASSERT_FALSE(doc.HasParseError()) << json.output;
    EXPECT_EQ(doc["queued"].GetInt(), 2);
    EXPECT_STREQ(doc["segments"][0]["state"].GetString(), "consumed");

    writeFile(rpt, reportFile({healthy[0], segment(1, 7, "")}, 0));
    const ToolRun bad = inspect("--verify " + rpt);
    EXPECT_EQ(bad.status, 1) << bad.output;
    EXPECT_NE(bad.output.find("unknown segment type 7"), std::string::npos) << bad.output;
}

TEST_F(InspectTest, ToolExtractsPayloads) {
    writeFile(rpt, reportFile(healthy, 0));
    const ToolRun log = inspect(rpt + " --extract 0 --out " + dir.file("err.txt"));
    EXPECT_EQ(log.status, 0) << log.output;
    EXPECT_EQ(readFile(dir.file("err.txt")), "first error\n");

    const ToolRun user = inspect(rpt + " --extract 1 --out " + dir.file("user"));
    EXPECT_EQ(user.status, 0) << user.output;
    EXPECT_EQ(readFile(dir.file("user/report.json")), reportWithAttachment().toJson());
    EXPECT_EQ(readFile(dir.file("user/attachment-1.bin")), std::string("\x89PNG\0", 5));
}

}  // namespace
