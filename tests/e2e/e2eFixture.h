// The real library, the reference logger and the reference log server as a
// child process on 127.0.0.1. The library's timers run on the manual clock;
// Ice and the server run in real time, so waits for them are bounded polls.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "NQClock.h"
#include "NQFileLog.h"
#include "NQLogReport.h"
#include "logRptProtocol.h"
#include "serverProcess.h"
#include "storedUpload.h"
#include "testSupport.h"

namespace e2e {

constexpr int64_t kStartWallMs = 1772539200000LL;  // 2026-03-03 12:00:00 UTC

using testsupport::storedDays;
inline std::string storedIndex(const std::string& store) { return storedDays(store + "/index"); }
inline std::string storedErrlog(const std::string& store, const std::string& client) {
    return storedDays(store + "/errlog/" + client);
}

inline int countLines(const std::string& text) {
    std::istringstream in(text);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.empty() ? 0 : 1;
    return n;
}

// The attachment of the user report every end-to-end run posts.
inline const std::string kShotBytes("\x89PNG\0\1\2", 7);

// Posts a user report with one attachment, "shot.png", to the running worker.
inline bool postShotReport() {
    NQBase::userReportData report;
    report.contact = "alice@example.org";
    report.content = "audio drops";
    report.attachments.push_back({"shot.png", "screen", NQBase::NQByteArray(kShotBytes)});
    return NQBase::postUserReport(report);
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        NQBase::NQClock::useManual(kStartWallMs);
        port = testsupport::freeLoopbackPort();
        storeDir = dir.path() + "/store";
        logDir = dir.path() + "/log";
        std::filesystem::create_directories(logDir);
    }
    void TearDown() override {
        report.reset();
        logger.reset();
        if (server) server->stop();
        NQBase::NQClock::useReal();
    }

    std::unique_ptr<testsupport::ServerProcess> makeServer(std::vector<std::string> extra = {"--no-sync"}) {
        return std::make_unique<testsupport::ServerProcess>(LOGREPORT_SERVER_BIN, storeDir, port, std::move(extra));
    }
    void startServer(std::vector<std::string> extra = {"--no-sync"}) {
        server = makeServer(std::move(extra));
        ASSERT_TRUE(server->start()) << server->output();
    }
    // Two entries so the library can reconnect after a failure.
    std::string serverList() const {
        return "127.0.0.1:" + std::to_string(port) + ";127.0.0.1:" + std::to_string(port);
    }
    void startClient(const std::string& list, int timeoutMs = 2000) {
        if (!logger) logger = std::make_unique<NQBase::NQFileLog>(logDir + "/client.log");
        report = std::make_unique<NQBase::NQLogReport>();
        report->Init("client", "5.2.1", "PC-7", timeoutMs, 0);
        report->setLocIP("127.0.0.1");
        report->setLogger(logger.get());
        report->setNickName("alice");
        report->setlogSvrInfo(list);
        report->startReport();
    }
    void stopClient() {
        report.reset();
    }
    int indexLines() const { return countLines(storedIndex(storeDir)); }
    bool waitForIndex(int lines, int timeoutMs = 15000) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (indexLines() < lines) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    bool waitForLines(const std::string& text, int count, int timeoutMs = 15000) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (log.count(text) < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    std::string selectedLine() const {
        return "selected log server:Log.ClientLogServer:tcp -h 127.0.0.1 -p " + std::to_string(port);
    }
    std::string rptPath() const { return logDir + "/client.log.rpt"; }

    testsupport::LogCapture log;
    testsupport::TempDir dir;
    int port = 0;
    std::string storeDir;
    std::string logDir;
    std::unique_ptr<testsupport::ServerProcess> server;
    std::unique_ptr<NQBase::NQFileLog> logger;
    std::unique_ptr<NQBase::NQLogReport> report;
};

}  // namespace e2e
