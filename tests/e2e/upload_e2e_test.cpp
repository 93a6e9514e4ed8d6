// From the logger to the reference log server over Ice on 127.0.0.1: what the
// server stores is byte for byte what was logged, across failures, outages and
// restarts of either side.
#include "e2eFixture.h"

#include <filesystem>
#include <sstream>

#include "collect/dumpTrailer.h"
#include "logRptProtocol.h"
#include "storedUpload.h"

using namespace NQBase;
using testsupport::readFile;

namespace {

class Upload : public e2e::EndToEnd {
protected:
    void writeLines(int count, const char* tag) {
        for (int i = 0; i < count; ++i) {
            const int level = i % 10 == 0 ? NQLOG_ERROR : NQLOG_INFO;
            logger->write(level, "conf", "%s line %d id=0x%08x joined room with %d peers", tag, i, i * 2654435761u, i % 7);
        }
    }
    // One error-log segment per line: waits until the worker queued the n-th.
    void queueErrorLine(const std::string& text, int n) {
        logger->write(NQLOG_ERROR, "conf", "%s", text.c_str());
        report->lastErrRep(0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (log.countPrefix("save_logSegment(type=0,") < n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(log.countPrefix("save_logSegment(type=0,"), n);
    }
    bool waitUntilDrained(int timeoutMs = 20000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (testsupport::fileSize(rptPath()) != 20) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
};

TEST_F(Upload, EveryKindArrivesByteExactWithOneCommandOutstanding) {
    startServer();
    const std::string dumpPath = logDir + "/crash.dmp";
    std::string body(3 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131) ^ (i >> 9));
    testsupport::writeFile(dumpPath, body);
    DumpTrailer trailer;
    trailer.meetVer = "5.2.1";
    trailer.meetID = 4321;
    trailer.client = "PC-7";
    trailer.dumpTime = "2026-03-03 11:59:00";
    trailer.exceptionCode = "0xC0000005";
    ASSERT_TRUE(appendDumpTrailer(dumpPath, trailer));
    const std::string dumpBytes = readFile(dumpPath);

    logger = std::make_unique<NQFileLog>(logDir + "/client.log");
    writeLines(2500, "detail");  // about 200 KB: several detail pieces
    const std::string logText = readFile(logDir + "/client.log");

    startClient(serverList());
    ASSERT_TRUE(log.waitFor(selectedLine(), 10000));
    NQClock::advance(1000);

    ASSERT_TRUE(e2e::postShotReport());

    ASSERT_TRUE(waitForLines("slot_reportRspSuc:type:reportUser", 1));
    ASSERT_TRUE(waitUntilDrained());

    testsupport::QueuedUpload queued;
    queued.client = "PC-7";
    queued.module = "client";
    queued.version = "5.2.1";
    queued.clientIp = "127.0.0.1";
    queued.nick = "alice";
    queued.logText = logText;
    queued.dumpBytes = dumpBytes;
    queued.attachments = {{"shot.png", e2e::kShotBytes}};
    for (const std::string& mismatch : testsupport::storedMismatches(storeDir, queued)) ADD_FAILURE() << mismatch;
    EXPECT_TRUE(std::filesystem::exists(storeDir + "/detail/alic/alice_PC-7_client_0303.log"))
        << "the detail file is named after the client's day";
    EXPECT_GE(log.count("slot_reportRspSuc:type:reportDetail"), 3);
    EXPECT_TRUE(std::filesystem::exists(dumpPath + ".bak"));
    EXPECT_FALSE(std::filesystem::exists(dumpPath));
    // The error log goes out with an empty JSON text (so no meta/ file) under its command type.
    std::istringstream index(e2e::storedIndex(storeDir));
    int errLogs = 0;
    for (std::string line; std::getline(index, line);) {
        if (line.find("\"cmdId\":11047,") == std::string::npos) continue;
        ++errLogs;
        EXPECT_NE(line.find("\"cmdType\":\"reportLog\","), std::string::npos) << line;
        EXPECT_EQ(line.find("\"meta\":"), std::string::npos) << line;
    }
    EXPECT_EQ(errLogs, 1);

    stopClient();
    server->stop();
    EXPECT_NE(server->output().find(" 0 violations"), std::string::npos) << server->output();
}

TEST_F(Upload, FailureGivesOneRetryPauseAndANewSelection) {
    startServer({"--no-sync", "--fail-every", "2"});
    logger = std::make_unique<NQFileLog>(logDir + "/client.log");
    writeLines(50, "retry");
    const std::string logText = readFile(logDir + "/client.log");
    startClient(serverList());
    ASSERT_TRUE(log.waitFor(selectedLine(), 10000));

    NQClock::advance(1000);  // error log succeeds, the detail piece is refused
    ASSERT_TRUE(waitForLines(selectedLine(), 2)) << "a failure starts a new selection";
    EXPECT_EQ(log.countPrefix("slot_reportRspFailed:type:reportDetail, err:"), 1);
    EXPECT_EQ(log.countPrefix("wait for log server selecting..."), 2);
    EXPECT_EQ(indexLines(), 1);

    NQClock::advance(29999);
    EXPECT_EQ(indexLines(), 1) << "nothing is sent during the pause";
    NQClock::advance(1);
    ASSERT_TRUE(waitUntilDrained());
    EXPECT_EQ(readFile(storeDir + "/detail/alic/alice_PC-7_client_0303.log"), logText);
    EXPECT_EQ(log.countPrefix("slot_reportRspFailed:"), 1);
}

TEST_F(Upload, DeadFirstCandidateLosesToLiveSecond) {
    startServer();
    const int deadPort = testsupport::freeLoopbackPort();
    startClient("127.0.0.1:" + std::to_string(deadPort) + ";127.0.0.1:" + std::to_string(port));
    EXPECT_TRUE(log.waitFor(selectedLine(), 10000));
}

TEST_F(Upload, FailedSelectionFallsBackToTheFirstEntry) {
    const int deadPort = testsupport::freeLoopbackPort();
    startClient("127.0.0.1:" + std::to_string(port) + ";127.0.0.1:" + std::to_string(deadPort), 500);
    ASSERT_TRUE(log.waitFor("slot_logSvrSelectFailed, try use default", 10000));
    EXPECT_TRUE(log.contains("Log.ClientLogServer:tcp -h 127.0.0.1 -p " + std::to_string(port)));

    startServer();
    logger->write(NQLOG_ERROR, "conf", "after fallback");
    report->lastErrRep(0);
    ASSERT_TRUE(waitForLines("slot_reportRspSuc:type:reportLog", 1));
    EXPECT_NE(e2e::storedErrlog(storeDir, "PC-7").find("after fallback"), std::string::npos);
}

TEST_F(Upload, ServerKilledMidBacklogAndRestartedLosesNothing) {
    startServer({"--no-sync", "--delay-ms", "100"});
    startClient(serverList(), 1000);
    ASSERT_TRUE(log.waitFor(selectedLine(), 10000));
    for (int i = 0; i < 12; ++i) queueErrorLine("backlog item " + std::to_string(i), i + 1);
    ASSERT_TRUE(waitForIndex(3));
    server->kill();
    ASSERT_TRUE(log.waitFor("slot_logSvrSelectFailed, try use default", 10000));

    server = makeServer();
    ASSERT_TRUE(server->start());
    NQClock::advance(30000);
    ASSERT_TRUE(waitUntilDrained(30000));
    const std::string stored = e2e::storedErrlog(storeDir, "PC-7");
    for (int i = 0; i < 12; ++i)
        EXPECT_NE(stored.find("backlog item " + std::to_string(i) + "\n"), std::string::npos) << i;
}

TEST_F(Upload, RestartedClientUploadsItsBacklogAfterStart) {
    startClient(serverList(), 300);
    for (int i = 0; i < 3; ++i) queueErrorLine("queued while offline " + std::to_string(i), i + 1);
    stopClient();
    logger.reset();
    EXPECT_GT(testsupport::fileSize(rptPath()), 20);

    startServer();
    startClient(serverList());
    ASSERT_TRUE(log.waitFor(selectedLine(), 10000));
    NQClock::advance(1000);
    ASSERT_TRUE(waitUntilDrained());
    const std::string stored = e2e::storedErrlog(storeDir, "PC-7");
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(stored.find("queued while offline " + std::to_string(i)), std::string::npos) << i;
}

TEST_F(Upload, OutOfDateSegmentsAreDroppedWithTheirLine) {
    startClient("127.0.0.1:1;127.0.0.1:2", 300);
    logger->write(NQLOG_ERROR, "conf", "too old to matter");
    report->lastErrRep(0);
    stopClient();
    EXPECT_GT(testsupport::fileSize(rptPath()), 20);

    NQClock::setWallMs(e2e::kStartWallMs + 15LL * 86400 * 1000);
    startServer();
    startClient(serverList());
    ASSERT_TRUE(log.waitFor(selectedLine(), 10000));
    NQClock::advance(1000);
    ASSERT_TRUE(waitUntilDrained());
    EXPECT_EQ(log.countPrefix("slot_runReport: segment out of date, type 0:"), 1);
    EXPECT_EQ(e2e::storedErrlog(storeDir, "PC-7").find("too old to matter"), std::string::npos);
}

}  // namespace
