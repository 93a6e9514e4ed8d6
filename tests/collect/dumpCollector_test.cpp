#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "collect/dumpTrailer.h"
#include "collectFixture.h"

using namespace NQBase;
using collecttest::CollectTest;
namespace fs = std::filesystem;
using namespace std::string_literals;

static std::string lengthBytes(uint32_t n) { return {char(n & 0xFF), char((n >> 8) & 0xFF), char((n >> 16) & 0xFF), char(n >> 24)}; }

// Half a second past the mark, so the listing's whole seconds come out exact.
static void setModifiedAt(const std::string& path, int64_t seconds) {
    const auto target = std::chrono::system_clock::from_time_t(std::time_t(seconds)) + std::chrono::milliseconds(500);
    fs::last_write_time(path, fs::file_time_type::clock::now() + (target - std::chrono::system_clock::now()));
}

TEST_F(CollectTest, MultiMegabyteDumpIsQueuedWholeAndTakesThePlaceOfAnOldBak) {
    const std::string dump = dir.file("crash.dmp");
    std::string tool = std::string(LOGREPORT_TOOLS_DIR) + "/logreport-mkdump";
#if defined(_WIN32)
    std::replace(tool.begin(), tool.end(), '/', '\\');  // cmd.exe takes '/' for a switch
#endif
    // Double quotes: the one quoting both sh and cmd.exe understand.
    const std::string cmd = tool + " --out " + dump +
                            " --size 3000000 --meet-ver 5.2.1.300 --meet-id 123456 --member-id 42 --client PC-7"
                            " --ip 10.0.0.8 --dump-time \"2024-05-06 07:08:09\" --exception-code 0xC0000005"
                            " --fault-address 0x00007FF6A1B2C3D4 --module media.dll";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << "logreport-mkdump must be built: " << cmd;
    const std::string bytes = testsupport::readFile(dump);
    testsupport::writeFile(dump + ".bak", "an older dump");
    testsupport::LogCapture capture;
    c.scan_dumpFiles(file.logDirectory());
    EXPECT_EQ(capture.count("logPath:" + dir.path() + "/"), 1);
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 1u);
    const FatalLogInfo& info = segs[0].dump;
    EXPECT_EQ(segs[0].type, segDumpLog);
    EXPECT_EQ(info.version + "|" + std::to_string(info.conferenceID) + "|" + std::to_string(info.userID) + "|" + info.client +
                  "|" + info.clientIP + "|" + info.logDate, "5.2.1.300|123456|42|PC-7|10.0.0.8|2024-05-06");
    EXPECT_EQ(info.content, "Exception code:0xC0000005\nFault address:0x00007FF6A1B2C3D4\nModule:media.dll\n");
    EXPECT_TRUE(collecttest::inflate(info.data) == bytes);
    EXPECT_FALSE(fs::exists(dump));
    EXPECT_TRUE(testsupport::readFile(dump + ".bak") == bytes);
    c.scan_dumpFiles(file.logDirectory());  // taken: not queued again
    EXPECT_EQ(queued().size(), 1u);
}

TEST_F(CollectTest, UnusableDumpsAreDeletedWithTheirReason) {
    testsupport::writeFile(dir.file("empty.dmp"), "");
    testsupport::writeFile(dir.file("short.dmp"), "MDMP");
    testsupport::writeFile(dir.file("liar.dmp"), std::string(5000, 'x') + lengthBytes(1000000));
    testsupport::LogCapture capture;
    c.scan_dumpFiles(file.logDirectory());
    for (const char* line : {"dumpfile length err! len:0", "dumpfile length err! len:4", "dumpfile append len err! len:1000000"})
        EXPECT_EQ(capture.count(line), 1) << line;
    EXPECT_TRUE(queued().empty());
    for (const char* name : {"empty.dmp", "short.dmp", "liar.dmp"}) EXPECT_FALSE(fs::exists(dir.file(name))) << name;
}

TEST_F(CollectTest, NamesAreMatchedAnywhereAndMissingKeysStayEmpty) {
    const std::string block = "\nMeetVer:1.0\nDumpTime:1714979289123\nModule:a\0b\nMeetID:9\n"s;
    testsupport::writeFile(dir.file("a.dmp.old"), "body" + block + lengthBytes(uint32_t(block.size() + 4)));
    DumpTrailer trailer;
    trailer.meetVer = "5.2.1.300";
    appendDumpTrailer(dir.file("x.dmpfile"), trailer);
    testsupport::writeFile(dir.file("y.dmp.bak.zip"), "taken long ago, name says so");
    testsupport::writeFile(dir.file("notes.txt"), "not a dump");
    c.scan_dumpFiles(file.logDirectory());
    std::vector<SegmentPayload> segs = queued();
    ASSERT_EQ(segs.size(), 2u);
    const FatalLogInfo& odd = segs[0].dump.version == "1.0" ? segs[0].dump : segs[1].dump;
    // MeetID sits behind a NUL, outside the block's text.
    EXPECT_EQ(std::to_string(odd.conferenceID) + "|" + std::to_string(odd.userID) + "|" + odd.logDate + "|" + odd.content,
              "0|0|1714979289|Exception code:\nFault address:\nModule:a\n");
    for (const char* name : {"a.dmp.old.bak", "x.dmpfile.bak", "y.dmp.bak.zip", "notes.txt"})
        EXPECT_TRUE(fs::exists(dir.file(name))) << name;
}

TEST_F(CollectTest, TakenDumpsAreDeletedAtSevenDaysOld) {
    const int64_t stamp = collecttest::kMarch3NoonMs / 1000;
    for (int64_t age : {0, 1}) {
        testsupport::writeFile(dir.file(std::to_string(age) + ".dmp.bak"), "x");
        setModifiedAt(dir.file(std::to_string(age) + ".dmp.bak"), stamp + age);
    }
    NQClock::setWallMs((stamp + kTakenDumpMaxAgeSec) * 1000);  // 604,800 s and 604,799 s old
    c.scan_dumpFiles(file.logDirectory());
    EXPECT_FALSE(fs::exists(dir.file("0.dmp.bak")));
    EXPECT_TRUE(fs::exists(dir.file("1.dmp.bak")));
    NQClock::setWallMs((stamp + 1 + kTakenDumpMaxAgeSec) * 1000);
    c.scan_dumpFiles(file.logDirectory());
    EXPECT_FALSE(fs::exists(dir.file("1.dmp.bak")));
}

TEST_F(CollectTest, DumpStaysUntilItsSegmentIsAppendedAndGoesWhenItCannotBeCompressed) {
    DumpTrailer trailer;
    trailer.meetVer = "5.2.1.300";
    const std::string dump = dir.file("crash.dmp");
    testsupport::writeFile(dump, "dump body");
    appendDumpTrailer(dump, trailer);
    collecttest::RefusingSink full;
    logCollector refused(id, full);
    refused.scan_dumpFiles(file.logDirectory());
    EXPECT_TRUE(fs::exists(dump)) << "a refused dump is tried again at the next scan";
    EXPECT_FALSE(fs::exists(dump + ".bak"));

    logCollector flaky(id, file, collecttest::FlakyCompress::compress);
    collecttest::FlakyCompress::calls = 0;
    collecttest::FlakyCompress::failOnCall = 1;
    testsupport::LogCapture capture;
    flaky.scan_dumpFiles(file.logDirectory());
    EXPECT_EQ(capture.count("compress dump dat failled! err:-4"), 1);
    EXPECT_TRUE(queued().empty());
    EXPECT_FALSE(fs::exists(dump));
}
