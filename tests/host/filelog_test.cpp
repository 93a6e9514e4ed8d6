#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "NQClock.h"
#include "NQFileLog.h"
#include "testSupport.h"

using namespace NQBase;

namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string take(NQFileLog& log, int type) {
    std::string out;
    log.GetLogFileDat(type, out, true);
    return out;
}

// The message part of a line: what follows "] ".
std::string messageOf(const std::string& line) { return line.substr(line.find("] ") + 2); }

class FileLogTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string path = dir.file("client.log");
};

}  // namespace

TEST_F(FileLogTest, LineCarriesLocalTimeLevelModuleAndOneLineText) {
    setenv("TZ", "UTC", 1);
    tzset();
    NQClock::useManual(1709469296789);  // 2024-03-03 12:34:56.789 UTC
    {
        NQFileLog log(path);
        log.write(NQLOG_ERROR, "net", "lost %d of %s", 7, "peers");
        log.write(NQLOG_INFO, "ui", std::string("two\nlines\r"));
    }
    NQClock::useReal();
    EXPECT_EQ(testsupport::readFile(path),
              "2024-03-03 12:34:56.789 ERROR [net] lost 7 of peers\n"
              "2024-03-03 12:34:56.789 INFO [ui] two lines \n");
}

TEST_F(FileLogTest, ErrorTypeHandsOutOnlyErrorAndFatalLines) {
    NQFileLog log(path);
    log.write(NQLOG_DEBUG, "m", "d");
    log.write(NQLOG_ERROR, "m", "e1 WARN [x] looks like a level");
    log.write(NQLOG_WARN, "m", "ERROR in text only");
    log.write(NQLOG_FATAL, "m", "f");
    std::vector<std::string> errors = splitLines(take(log, NQLOG_FILE_ERROR));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(messageOf(errors[0]), "e1 WARN [x] looks like a level");
    EXPECT_EQ(messageOf(errors[1]), "f");
    EXPECT_EQ(splitLines(take(log, NQLOG_FILE_DETAIL)).size(), 4u);
    EXPECT_EQ(take(log, NQLOG_FILE_ERROR), "");
    EXPECT_EQ(take(log, NQLOG_FILE_DETAIL), "");
}

TEST_F(FileLogTest, ConcurrentWritersAndReaderSeeEveryLineOnceAndWhole) {
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    NQFileLog log(path);
    std::atomic<bool> writing{true};
    std::string detail;
    std::string errors;
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

    std::set<std::string> seen;
    for (const std::string& line : splitLines(detail)) {
        ASSERT_GE(parseLogLineLevel(line.data(), line.size()), 0) << line;
        const std::string msg = messageOf(line);
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(msg.c_str(), "thread %d line %d", &t, &i), 2) << line;
        ASSERT_EQ(msg, "thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(i % 97, 'x'));
        ASSERT_TRUE(seen.insert(msg).second) << "twice: " << msg;
    }
    EXPECT_EQ(seen.size(), size_t(kThreads * kLines));
    EXPECT_EQ(splitLines(errors).size(), size_t(kThreads * kLines / 2));
}

TEST_F(FileLogTest, CleanRestartHandsOutExactlyTheRest) {
    {
        NQFileLog log(path);
        log.write(NQLOG_ERROR, "m", "before 1");
        log.write(NQLOG_INFO, "m", "before 2");
        EXPECT_EQ(splitLines(take(log, NQLOG_FILE_DETAIL)).size(), 2u);
        log.write(NQLOG_ERROR, "m", "after");
    }
    NQFileLog log(path);
    std::vector<std::string> detail = splitLines(take(log, NQLOG_FILE_DETAIL));
    ASSERT_EQ(detail.size(), 1u);
    EXPECT_EQ(messageOf(detail[0]), "after");
    // The error type was never asked: everything of it is still there.
    EXPECT_EQ(splitLines(take(log, NQLOG_FILE_ERROR)).size(), 2u);
}

TEST_F(FileLogTest, KilledProcessRepeatsOnlyTheUncommittedPass) {
    {
        NQFileLog log(path);
        log.write(NQLOG_INFO, "m", "pass 1");
        EXPECT_EQ(messageOf(take(log, NQLOG_FILE_DETAIL)), "pass 1\n");
        log.write(NQLOG_INFO, "m", "pass 2");
        EXPECT_EQ(messageOf(take(log, NQLOG_FILE_DETAIL)), "pass 2\n");  // commits pass 1
        log.write(NQLOG_INFO, "m", "not yet handed out");
        log.abandon();
    }
    NQFileLog log(path);
    std::vector<std::string> again = splitLines(take(log, NQLOG_FILE_DETAIL));
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(messageOf(again[0]), "pass 2");
    EXPECT_EQ(messageOf(again[1]), "not yet handed out");
}

TEST_F(FileLogTest, TornLastLineIsEndedNotGluedToTheNext) {
    testsupport::writeFile(path, "torn by a kill");
    NQFileLog log(path);
    log.write(NQLOG_INFO, "m", "next");
    std::vector<std::string> lines = splitLines(take(log, NQLOG_FILE_DETAIL));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "torn by a kill");
    EXPECT_EQ(messageOf(lines[1]), "next");
}

TEST_F(FileLogTest, TruncatedLogRestartsOffsetsAndSaysSo) {
    NQFileLog log(path);
    log.write(NQLOG_ERROR, "m", "old text that is long enough");
    take(log, NQLOG_FILE_DETAIL);
    take(log, NQLOG_FILE_ERROR);
    std::filesystem::resize_file(path, 0);
    log.write(NQLOG_ERROR, "m", "new");
    testsupport::LogCapture capture;
    EXPECT_EQ(messageOf(take(log, NQLOG_FILE_ERROR)), "new\n");
    EXPECT_EQ(messageOf(take(log, NQLOG_FILE_DETAIL)), "new\n");
    const int64_t size = testsupport::fileSize(path);
    EXPECT_EQ(capture.count("log file " + path + " shrank to " + std::to_string(size) +
                            " bytes, read offsets restart at 0"),
              1);
}

TEST_F(FileLogTest, HandOutIsCappedAtALineEndAndTheRestFollows) {
    constexpr int64_t kCap = 200;
    NQFileLog log(path, kCap);
    for (int i = 0; i < 20; ++i) log.write(NQLOG_INFO, "m", "line %02d %s", i, std::string(i * 3, '-').c_str());
    std::string all;
    for (int call = 0; call < 100; ++call) {
        const std::string piece = take(log, NQLOG_FILE_DETAIL);
        if (piece.empty()) break;
        EXPECT_LE(int64_t(piece.size()), kCap);
        EXPECT_EQ(piece.back(), '\n');
        all += piece;
    }
    EXPECT_EQ(all, testsupport::readFile(path));
}

TEST_F(FileLogTest, LineLongerThanTheCapGoesInPartsInsteadOfStalling) {
    NQFileLog log(path, 64);
    log.write(NQLOG_INFO, "m", "%s", std::string(150, 'z').c_str());
    std::string all;
    for (std::string piece; !(piece = take(log, NQLOG_FILE_DETAIL)).empty();) all += piece;
    EXPECT_EQ(all, testsupport::readFile(path));
}

TEST_F(FileLogTest, PeekChangesNothingAndInitDataNamesTheFile) {
    NQFileLog log(path);
    log.write(NQLOG_INFO, "m", "x");
    std::string peek;
    EXPECT_TRUE(log.GetLogFileDat(NQLOG_FILE_DETAIL, peek, false));
    EXPECT_EQ(take(log, NQLOG_FILE_DETAIL), peek);
    LogInitData data;
    log.GetInitData(data);
    EXPECT_EQ(data.logFilePath, path);
}
