#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "NQClock.h"
#include "NQFileLog.h"
#include "runtimeTestUtil.h"
#include "testSupport.h"

using namespace NQBase;

namespace {

std::string take(NQFileLog& log, int type) {
    std::string out;
    log.GetLogFileDat(type, out, true);
    return out;
}

// The message part of each line (what follows "] "); a line not written by the logger stays whole.
std::vector<std::string> messages(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find("] ");
        out.push_back(at == std::string::npos ? line : line.substr(at + 2));
    }
    return out;
}
using Msgs = std::vector<std::string>;

class FileLogTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string path = dir.file("client.log");
};

}  // namespace

TEST_F(FileLogTest, LinesCarryLocalTimeLevelModuleAndOneLineTextAndErrorTypeReadsTheLevel) {
    setenv("TZ", "UTC", 1);
    tzset();
    NQClock::useManual(1709469296789);  // 2024-03-03 12:34:56.789 UTC
    NQFileLog log(path);
    log.write(NQLOG_ERROR, "net", "lost %d of %s", 7, "peers");
    log.write(NQLOG_INFO, "ui", std::string("two\nlines\r"));
    log.write(NQLOG_WARN, "m", "ERROR in text only");
    log.write(NQLOG_FATAL, "m", "f WARN [x] looks like a level");
    NQClock::useReal();
    const std::string error = "2024-03-03 12:34:56.789 ERROR [net] lost 7 of peers\n";
    const std::string fatal = "2024-03-03 12:34:56.789 FATAL [m] f WARN [x] looks like a level\n";
    EXPECT_EQ(testsupport::readFile(path), error + "2024-03-03 12:34:56.789 INFO [ui] two lines \n" +
                                               "2024-03-03 12:34:56.789 WARN [m] ERROR in text only\n" + fatal);
    std::string peek;
    EXPECT_TRUE(log.GetLogFileDat(NQLOG_FILE_ERROR, peek, false));
    EXPECT_EQ(take(log, NQLOG_FILE_ERROR), peek);  // a peek moves nothing
    EXPECT_EQ(peek, error + fatal);
    EXPECT_EQ(take(log, NQLOG_FILE_ERROR), "");
    EXPECT_EQ(messages(take(log, NQLOG_FILE_DETAIL)).size(), 4u);
}

TEST_F(FileLogTest, ConcurrentWritersAndReaderSeeEveryLineOnceAndWhole) {
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    NQFileLog log(path);
    std::atomic<bool> writing{true};
    std::string detail, errors;
    std::thread reader([&] {
        while (writing) {
            detail += take(log, NQLOG_FILE_DETAIL);
            errors += take(log, NQLOG_FILE_ERROR);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i)
                log.write(i % 2 ? NQLOG_ERROR : NQLOG_INFO, "w", "thread %d line %d %s", t, i, std::string(i % 97, 'x').c_str());
        });
    }
    for (auto& w : writers) w.join();
    writing = false;
    reader.join();
    detail += take(log, NQLOG_FILE_DETAIL);
    errors += take(log, NQLOG_FILE_ERROR);

    // Every line once, whole and in its own line; sorted, both sides must match exactly.
    std::vector<std::string> got = messages(detail), want;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kLines; ++i) want.push_back("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(i % 97, 'x'));
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_TRUE(got == want) << got.size() << " lines handed out";
    EXPECT_EQ(messages(errors).size(), size_t(kThreads * kLines / 2));
}

TEST_F(FileLogTest, RestartHandsOutExactlyTheRestAndAKillRepeatsOnePass) {
    {
        NQFileLog log(path);
        log.write(NQLOG_ERROR, "m", "one");
        EXPECT_EQ(messages(take(log, NQLOG_FILE_DETAIL)), Msgs{"one"});
        log.write(NQLOG_INFO, "m", "two");
    }
    {
        NQFileLog log(path);
        EXPECT_EQ(messages(take(log, NQLOG_FILE_DETAIL)), Msgs{"two"});
        EXPECT_EQ(messages(take(log, NQLOG_FILE_ERROR)), Msgs{"one"});  // never asked before: all of it
        log.write(NQLOG_INFO, "m", "three");
        EXPECT_EQ(messages(take(log, NQLOG_FILE_DETAIL)), Msgs{"three"});  // commits "two"
        log.write(NQLOG_INFO, "m", "not yet handed out");
        log.abandon();
    }
    testsupport::writeFile(path, testsupport::readFile(path) + "torn by a kill");
    NQFileLog log(path);
    log.write(NQLOG_INFO, "m", "next");
    EXPECT_EQ(messages(take(log, NQLOG_FILE_DETAIL)), (Msgs{"three", "not yet handed out", "torn by a kill", "next"}));
}

TEST_F(FileLogTest, ErrorIndexSurvivesAKillBetweenLineAndRecordAndIsRebuiltWhenMissing) {
    const std::string index = path + ".errindex";
    {
        NQFileLog log(path);
        log.write(NQLOG_ERROR, "m", "e1");
        log.write(NQLOG_INFO, "m", "i1");
        log.write(NQLOG_FATAL, "m", "e2");
        EXPECT_EQ(messages(take(log, NQLOG_FILE_ERROR)), (Msgs{"e1", "e2"}));
        log.write(NQLOG_INFO, "m", "i2");
        log.write(NQLOG_ERROR, "m", "e3");
        log.abandon();
    }
    const std::string records = testsupport::readFile(index);
    ASSERT_EQ(records.size(), 3 * 16u);
    testsupport::writeFile(index, records.substr(0, 2 * 16 + 7));  // e3's record cut by the kill
    {
        NQFileLog log(path);
        EXPECT_EQ(messages(take(log, NQLOG_FILE_ERROR)), (Msgs{"e1", "e2", "e3"}));  // one pass again
        log.write(NQLOG_ERROR, "m", "e4");
    }
    std::filesystem::remove(index);
    NQFileLog log(path);
    log.write(NQLOG_INFO, "m", "i3");
    log.write(NQLOG_ERROR, "m", "e5");
    EXPECT_EQ(messages(take(log, NQLOG_FILE_ERROR)), (Msgs{"e4", "e5"}));  // rebuilt from the committed offset
    EXPECT_EQ(take(log, NQLOG_FILE_ERROR), "");
    EXPECT_EQ(messages(take(log, NQLOG_FILE_DETAIL)).size(), 8u);
}

// The report library asks from a handler on its worker's loop and queues the
// text within that handler: the hand-out is committed as the handler returns.
TEST_F(FileLogTest, AKillAfterAPassResendsNothingAndAKillInsideOneResendsThatPassOnly) {
    auto worker = runtimetest::makeThread("worker");
    const std::string state = path + ".state";
    std::string insidePass;
    {
        NQFileLog log(path);
        log.write(NQLOG_INFO, "m", "first");
        log.write(NQLOG_ERROR, "m", "first error");
        runtimetest::runOn(*worker, [&] {
            EXPECT_EQ(messages(take(log, NQLOG_FILE_DETAIL)), (Msgs{"first", "first error"}));
            EXPECT_EQ(messages(take(log, NQLOG_FILE_ERROR)), Msgs{"first error"});
            insidePass = testsupport::readFile(state);
        });
        runtimetest::runOn(*worker, [] {});  // the next dispatch
        const std::string size = std::to_string(testsupport::fileSize(path));
        const std::string width19 = std::string(19 - size.size(), '0') + size;
        EXPECT_EQ(insidePass, "");
        EXPECT_EQ(testsupport::readFile(state), width19 + " " + width19 + "\n");
        log.abandon();  // killed after the pass
    }
    {
        NQFileLog log(path);
        EXPECT_EQ(take(log, NQLOG_FILE_DETAIL), "");
        EXPECT_EQ(take(log, NQLOG_FILE_ERROR), "");
        log.write(NQLOG_INFO, "m", "second");
        runtimetest::runOn(*worker, [&] {
            EXPECT_EQ(messages(take(log, NQLOG_FILE_DETAIL)), Msgs{"second"});
            insidePass = testsupport::readFile(state);
        });
        runtimetest::runOn(*worker, [] {});  // its commit has run before the logger goes
        log.abandon();
    }
    // Killed inside the second pass, and the state written as an earlier
    // version wrote it (no leading zeros): it reads the same.
    long long error = -1, detail = -1;
    ASSERT_EQ(std::sscanf(insidePass.c_str(), "%lld %lld", &error, &detail), 2);
    testsupport::writeFile(state, std::to_string(error) + " " + std::to_string(detail) + "\n");
    NQFileLog log(path);
    log.write(NQLOG_INFO, "m", "third");
    EXPECT_EQ(messages(take(log, NQLOG_FILE_DETAIL)), (Msgs{"second", "third"}));
    EXPECT_EQ(take(log, NQLOG_FILE_ERROR), "");
}

TEST_F(FileLogTest, TruncatedLogRestartsOffsetsAndSaysSo) {
    NQFileLog log(path);
    log.write(NQLOG_ERROR, "m", "old text that is long enough");
    take(log, NQLOG_FILE_DETAIL);
    take(log, NQLOG_FILE_ERROR);
    std::filesystem::resize_file(path, 0);
    log.write(NQLOG_ERROR, "m", "new");
    testsupport::LogCapture capture;
    EXPECT_EQ(messages(take(log, NQLOG_FILE_ERROR)), Msgs{"new"});
    EXPECT_EQ(messages(take(log, NQLOG_FILE_DETAIL)), Msgs{"new"});
    EXPECT_EQ(capture.count("log file " + path + " shrank to " + std::to_string(testsupport::fileSize(path)) +
                            " bytes, read offsets restart at 0"),
              1);
}

// The collector hands in a string it keeps, holding the previous hand-out; the
// detail text is read over it, so every way of handing out nothing must still
// leave it empty, or old text would be queued again.
TEST_F(FileLogTest, HandOutReplacesWhatTheCallersStringHeld) {
    NQFileLog log(path);
    log.write(NQLOG_ERROR, "m", "first");
    const std::string stale(300, 'x');
    std::string kept = stale;
    EXPECT_TRUE(log.GetLogFileDat(NQLOG_FILE_DETAIL, kept, true));
    EXPECT_EQ(messages(kept), Msgs{"first"});
    kept = stale;
    EXPECT_FALSE(log.GetLogFileDat(NQLOG_FILE_DETAIL, kept, true)) << "nothing new";
    EXPECT_EQ(kept, "");
    {
        std::ofstream partial(path, std::ios::binary | std::ios::app);
        partial << "a line still being written";
    }
    kept = stale;
    EXPECT_FALSE(log.GetLogFileDat(NQLOG_FILE_DETAIL, kept, false)) << "a line still being written";
    EXPECT_EQ(kept, "");
    kept = stale;
    EXPECT_TRUE(log.GetLogFileDat(NQLOG_FILE_ERROR, kept, true));
    EXPECT_EQ(messages(kept), Msgs{"first"});
    kept = stale;
    EXPECT_FALSE(log.GetLogFileDat(NQLOG_FILE_ERROR, kept, true));
    EXPECT_EQ(kept, "");
    kept = stale;
    EXPECT_FALSE(log.GetLogFileDat(3, kept, true)) << "no such kind";
    EXPECT_EQ(kept, "");
}

TEST_F(FileLogTest, HandOutIsCappedAtALineEndAndLongerLinesGoInParts) {
    constexpr size_t kCap = 200;
    NQFileLog log(path, kCap);
    for (int i = 0; i < 20; ++i)
        log.write(i % 3 ? NQLOG_INFO : NQLOG_ERROR, "m", "line %02d %s", i, std::string(i * 3, '-').c_str());
    log.write(NQLOG_INFO, "m", "%s", std::string(450, 'z').c_str());
    log.write(NQLOG_INFO, "m", "last");
    std::string all, errors;
    // Detail goes into one kept string, as the collector does through a
    // backlog: once a capped hand-out has reserved the cap, later ones fill
    // the same storage.
    std::string kept;
    const char* storage = nullptr;
    for (int call = 0; call < 100; ++call) {
        log.GetLogFileDat(NQLOG_FILE_DETAIL, kept, true);
        const std::string piece = kept;
        const std::string errorPiece = take(log, NQLOG_FILE_ERROR);
        if (piece.empty() && errorPiece.empty()) break;
        if (storage == nullptr) storage = kept.data();
        EXPECT_TRUE(piece.empty() || storage == kept.data()) << "hand-out " << call << " moved the caller's storage";
        EXPECT_LE(piece.size(), kCap);
        EXPECT_LE(errorPiece.size(), kCap);
        // Only a line longer than a whole hand-out may be cut.
        EXPECT_TRUE(piece.empty() || piece.back() == '\n' || piece.size() == kCap) << piece;
        all += piece;
        errors += errorPiece;
    }
    EXPECT_EQ(all, testsupport::readFile(path));
    std::string wantErrors;
    std::istringstream in(all);
    for (std::string line; std::getline(in, line);)
        if (parseLogLineLevel(line.c_str(), line.size()) == NQLOG_ERROR) wantErrors += line + "\n";
    EXPECT_EQ(errors, wantErrors);
    EXPECT_EQ(messages(errors).size(), 7u);
}
