// The report file as the worker keeps it: appends, confirmations, resets of
// damaged files, and a queue that survives a restart or a stop and start.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "NQClock.h"
#include "testSupport.h"
#include "worker/logReportThrdObj.h"

namespace {

using namespace NQBase;
using testsupport::fileSize;
using testsupport::readFile;
using testsupport::writeFile;

const std::string kFreshHeader("\x03\x10\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x14\0\0\0", 20);
constexpr int64_t kNowSec = 1700000000;

class FakeLog : public NQLog {
public:
    explicit FakeLog(std::string path) : path_(std::move(path)) {}
    void GetInitData(LogInitData& data) override { data.logFilePath = path_; }
    bool GetLogFileDat(int, std::string&, bool) override { return false; }

private:
    std::string path_;
};

std::string headerBytes(int32_t magic, int32_t total, int32_t index, int32_t position, int32_t size) {
    logHeader h;
    h.magic = magic;
    h.total = total;
    h.index = index;
    h.position = position;
    h.fileSize = size;
    std::ostringstream out;
    h.write(out);
    return out.str();
}

// The stored header, without reading the rest of a possibly huge file.
logHeader storedHeader(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    logHeader h;
    h.read(in);
    return h;
}

errLogInfo errLog(const std::string& bytes) {
    errLogInfo record;
    record.data = NQByteArray(bytes);
    return record;
}

class ReportFileTest : public testing::Test {
protected:
    void SetUp() override { NQClock::useManual(kNowSec * 1000); }
    void TearDown() override { NQClock::useReal(); }

    // A worker as after setLogger and startReport.
    std::unique_ptr<logReportThrdObj> startedWorker() {
        auto worker = std::make_unique<logReportThrdObj>();
        worker->slot_setLogger(&log);
        worker->load_logHeader();
        return worker;
    }

    testsupport::TempDir dir;
    FakeLog log{dir.file("client.log")};
    const std::string rpt = dir.file("client.log.rpt");
};

TEST_F(ReportFileTest, MissingFileIsCreatedAsFreshHeaderAtStart) {
    logReportThrdObj worker;
    worker.slot_setLogger(&log);
    EXPECT_EQ(worker.rptPath, rpt);
    EXPECT_EQ(worker.logPath, dir.path() + "/");
    EXPECT_FALSE(worker.rptFile.isOpen());
    worker.load_logHeader();
    EXPECT_TRUE(worker.rptFile.isOpen());
    EXPECT_EQ(readFile(rpt), kFreshHeader);
}

TEST_F(ReportFileTest, AppendsWriteSegmentThenHeaderAndLogIt) {
    auto worker = startedWorker();
    testsupport::LogCapture logs;
    ASSERT_TRUE(worker->save_logSegment(segErrLog, errLog("abc")));
    ASSERT_TRUE(worker->save_logSegment(segDetailLog, detailLogInfo()));
    EXPECT_TRUE(logs.contains("save_logSegment(type=0, index=0, total=1, position=20)"));
    EXPECT_TRUE(logs.contains("save_logSegment(type=1, index=0, total=2, position=43)"));

    const std::string file = readFile(rpt);
    // first segment: 16 + 4 + 3 bytes at 20, then an empty detail log (16 + 12) at 43
    EXPECT_EQ(file.substr(20, 23), std::string("\x17\0\0\0\0\0\0\0\0\0\0\0\x00\xF1\x53\x65\3\0\0\0abc", 23));
    EXPECT_EQ(file.substr(43, 12), std::string("\x1C\0\0\0\1\0\0\0\1\0\0\0", 12));
    EXPECT_EQ(file.substr(0, 20), headerBytes(4099, 2, 0, 0, 71));
    EXPECT_EQ(file.size(), 71u);
}

TEST_F(ReportFileTest, ConfirmMovesIndexAndPositionAndKeepsBytes) {
    auto worker = startedWorker();
    worker->save_logSegment(segErrLog, errLog("abc"));
    worker->save_logSegment(segErrLog, errLog("de"));
    worker->rptHeader.position = 20;  // as the upload cycle reads position 0
    worker->curSegLength = 23;
    worker->confirm_logSegment();
    const std::string file = readFile(rpt);
    EXPECT_EQ(file.substr(0, 20), headerBytes(4099, 2, 1, 43, 65));
    EXPECT_EQ(file.substr(40, 3), "abc");
}

TEST_F(ReportFileTest, QueueSurvivesRestartAndStopStart) {
    auto first = startedWorker();
    first->save_logSegment(segErrLog, errLog("one"));
    first->save_logSegment(segDumpLog, FatalLogInfo());
    const std::string before = readFile(rpt);
    first.reset();

    auto second = startedWorker();
    EXPECT_EQ(readFile(rpt), before);
    EXPECT_EQ(second->rptHeader.total, 2);
    EXPECT_EQ(second->rptHeader.fileSize, static_cast<int32_t>(before.size()));

    second->rptFile.Close();  // stopReport
    second->rptFile.Open(second->rptPath, 7);  // startReport's reopen
    second->load_logHeader();
    EXPECT_EQ(readFile(rpt), before);
    EXPECT_EQ(second->rptHeader.total, 2);
}

TEST_F(ReportFileTest, TwentyByteValidHeaderIsKept) {
    writeFile(rpt, headerBytes(4099, 5, 5, 0, 20));
    auto worker = startedWorker();
    EXPECT_EQ(worker->rptHeader.total, 5);
    EXPECT_EQ(readFile(rpt), headerBytes(4099, 5, 5, 0, 20));
}

TEST_F(ReportFileTest, DamagedHeadersResetTheFile) {
    const std::string segments(100, 'x');
    const std::vector<std::string> damaged = {
        kFreshHeader.substr(0, 19),
        headerBytes(4098, 1, 0, 0, 120) + segments,
        headerBytes(4099, 1, 0, 0, 119) + segments,
        headerBytes(4099, 1, 0, 0, 100) + segments,
    };
    for (const std::string& bytes : damaged) {
        writeFile(rpt, bytes);
        auto worker = startedWorker();
        EXPECT_EQ(readFile(rpt), kFreshHeader) << "file of " << bytes.size() << " bytes";
        EXPECT_EQ(worker->rptHeader.fileSize, 20);
    }
}

TEST_F(ReportFileTest, AppendPastTwoGiBIsRefused) {
    constexpr int64_t kSparseSize = 2147483600;  // sparse: no disk blocks behind it
    writeFile(rpt, headerBytes(4099, 0, 0, 0, static_cast<int32_t>(kSparseSize)));
    std::filesystem::resize_file(rpt, kSparseSize);
    auto worker = startedWorker();
    ASSERT_EQ(worker->rptHeader.fileSize, kSparseSize);

    // 2147483600 + 16 + 4 + 27 is exactly the largest size allowed
    ASSERT_TRUE(worker->save_logSegment(segErrLog, errLog(std::string(27, 'a'))));
    EXPECT_EQ(fileSize(rpt), 2147483647);

    testsupport::LogCapture logs;
    EXPECT_FALSE(worker->save_logSegment(segErrLog, errLogInfo()));
    EXPECT_EQ(fileSize(rpt), 2147483647);
    EXPECT_EQ(worker->rptHeader.total, 1);
    EXPECT_EQ(storedHeader(rpt).total, 1);
    ASSERT_EQ(logs.lines().size(), 1u);
    EXPECT_EQ(logs.lines()[0].level, 3);
    EXPECT_EQ(logs.countPrefix("save_logSegment: segment refused"), 1);
}

}  // namespace
