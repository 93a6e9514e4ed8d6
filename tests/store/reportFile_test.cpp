// The report file: appends, confirmations, resets of damaged files, a queue
// that survives a restart or a stop and start, and a header that never claims
// bytes a short write did not put in the file.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "NQClock.h"
#include "NQFileLog.h"
#include "testSupport.h"
#include "store/logRptFile.h"

namespace {

using namespace NQBase;
using testsupport::readFile;
using testsupport::writeFile;

const std::string kFreshHeader("\x03\x10\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x14\0\0\0", 20);

std::string headerBytes(int32_t magic, int32_t total, int32_t index, int32_t position, int32_t size) {
    std::ostringstream out;
    for (int32_t v : {magic, total, index, position, size}) writeInt32(out, v);
    return out.str();
}

errLogInfo errLog(const std::string& bytes) {
    errLogInfo record;
    record.data = NQByteArray(bytes);
    return record;
}

class ReportFileTest : public testing::Test {
protected:
    void SetUp() override { NQClock::useManual(1700000000LL * 1000); }
    void TearDown() override { NQClock::useReal(); }

    // A report file as after setLogger and startReport.
    std::unique_ptr<logRptFile> startedWorker() {
        auto worker = std::make_unique<logRptFile>();
        worker->open_rptFile(log);
        worker->load_logHeader();
        return worker;
    }

    testsupport::TempDir dir;
    NQFileLog log{dir.file("client.log")};  // where the report file goes
    const std::string rpt = dir.file("client.log.rpt");
};

TEST_F(ReportFileTest, AppendsAndConfirmSurviveRestartAndStopStart) {
    auto worker = startedWorker();
    EXPECT_EQ(worker->path(), rpt);
    EXPECT_EQ(readFile(rpt), kFreshHeader);
    testsupport::LogCapture logs;
    ASSERT_EQ(worker->save_logSegment(segErrLog, errLog("abc")), storeStatus::ok);
    ASSERT_EQ(worker->save_logSegment(segDetailLog, detailLogInfo()), storeStatus::ok);
    EXPECT_TRUE(logs.contains("save_logSegment(type=0, index=0, total=1, position=20)"));
    EXPECT_TRUE(logs.contains("save_logSegment(type=1, index=0, total=2, position=43)"));
    // 16 + 4 + 3 bytes at 20, then an empty detail log (16 + 12) at 43
    const std::string segments = std::string("\x17\0\0\0\0\0\0\0\0\0\0\0\x00\xF1\x53\x65\3\0\0\0abc", 23) +
                                 std::string("\x1C\0\0\0\1\0\0\0\1\0\0\0\x00\xF1\x53\x65", 16) + std::string(12, '\0');
    EXPECT_EQ(readFile(rpt), headerBytes(4099, 2, 0, 0, 71) + segments);

    const std::optional<queuedSegment> head = worker->next_logSegment();
    ASSERT_TRUE(head);
    EXPECT_EQ(head->position, 20);
    EXPECT_EQ(head->path, rpt);
    EXPECT_EQ(head->segment.length, 23);
    ASSERT_EQ(head->record.type, segErrLog);
    EXPECT_EQ(head->record.errLog.data, NQByteArray(std::string("abc")));
    EXPECT_EQ(worker->confirm_logSegment(*head), storeStatus::ok);
    const std::string confirmed = headerBytes(4099, 2, 1, 43, 71) + segments;
    EXPECT_EQ(readFile(rpt), confirmed);

    worker = startedWorker();  // restart
    EXPECT_EQ(readFile(rpt), confirmed);
    EXPECT_EQ(worker->header().index, 1);
    worker->close();  // stopReport
    worker->reopen();  // startReport
    worker->load_logHeader();
    EXPECT_EQ(readFile(rpt), confirmed);
    EXPECT_EQ(worker->header().position, 43);
}

TEST_F(ReportFileTest, DamagedHeadersResetTheFileAValidOneIsKept) {
    const std::string segments(100, 'x');
    const std::pair<std::string, bool> files[] = {
        {headerBytes(4099, 5, 5, 0, 20), true},
        {kFreshHeader.substr(0, 19), false},                        // short file
        {headerBytes(4098, 1, 0, 0, 120) + segments, false},        // wrong magic
        {headerBytes(4099, 1, 0, 0, 119) + segments, false},        // fileSize one short
        {headerBytes(4099, 1, 0, 0, 121) + segments, false},        // fileSize one over
    };
    for (const auto& [bytes, kept] : files) {
        writeFile(rpt, bytes);
        auto worker = startedWorker();
        EXPECT_EQ(readFile(rpt), kept ? bytes : kFreshHeader) << "file of " << bytes.size() << " bytes";
        EXPECT_EQ(worker->header().fileSize, static_cast<int32_t>(kept ? bytes.size() : 20));
    }
}

TEST_F(ReportFileTest, AppendPastTwoGiBIsRefused) {
    constexpr int64_t kSparseSize = 2147483600;  // sparse: no disk blocks behind it
    writeFile(rpt, headerBytes(4099, 0, 0, 0, static_cast<int32_t>(kSparseSize)));
    std::filesystem::resize_file(rpt, kSparseSize);
    auto worker = startedWorker();
    ASSERT_EQ(worker->header().fileSize, kSparseSize);

    // 2147483600 + 16 + 4 + 27 is exactly the largest size allowed
    ASSERT_EQ(worker->save_logSegment(segErrLog, errLog(std::string(27, 'a'))), storeStatus::ok);
    EXPECT_EQ(testsupport::fileSize(rpt), 2147483647);

    testsupport::LogCapture logs;
    EXPECT_EQ(worker->save_logSegment(segErrLog, errLogInfo()), storeStatus::tooLarge);
    EXPECT_EQ(testsupport::fileSize(rpt), 2147483647);
    EXPECT_EQ(worker->header().total, 1);
    std::ifstream in(rpt, std::ios::binary);  // only the header of the huge file
    std::string stored(20, '\0');
    in.read(&stored[0], 20);
    EXPECT_EQ(stored, headerBytes(4099, 1, 0, 0, 2147483647));
    ASSERT_EQ(logs.countPrefix("save_logSegment: segment refused"), 1);
    EXPECT_EQ(logs.lines().at(0).level, 3);
}

#ifndef _WIN32
// A full disk: the file takes 30 bytes of the second segment, then refuses.
TEST_F(ReportFileTest, ShortWriteLeavesAHeaderTheFileHolds) {
    auto worker = startedWorker();
    ASSERT_EQ(worker->save_logSegment(segErrLog, errLog("abc")), storeStatus::ok);  // 20 + 23 bytes
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = 43 + 30;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const storeStatus appended = worker->save_logSegment(segErrLog, errLog(std::string(200, 'z')));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(appended, storeStatus::writeFailed);
    const std::string bytes = readFile(rpt);
    ASSERT_EQ(bytes.size(), 73u);
    EXPECT_EQ(bytes.substr(0, 20), headerBytes(4099, 2, 0, 0, 73));
    EXPECT_EQ(decodeInt32(bytes.data() + 43), 30) << "the segment's length is what reached the file";

    ASSERT_EQ(worker->save_logSegment(segErrLog, errLog("def")), storeStatus::ok);
    worker = startedWorker();  // the queue is kept, and still walks
    EXPECT_EQ(worker->header().total, 3);
    EXPECT_EQ(worker->header().fileSize, 96);
}
#endif

}  // namespace
