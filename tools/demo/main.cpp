// logreport-demo: plays a conference client for a short session with the
// reference logger, against a log server, and says what happened.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "NQCommon.h"
#include "NQFileLog.h"
#include "NQLogReport.h"
#include "collect/dumpTrailer.h"
#include "logRptProtocol.h"
#include "store/reportFileReader.h"

using namespace NQBase;

namespace {

struct Options {
    std::string servers = "127.0.0.1:12100;127.0.0.1:12100";
    std::string logDir = "./logreport-demo";
    std::string app = "confclient";
    std::string clientVersion = "5.2.1";
    std::string pcid = "PC-DEMO-01";
    std::string localIp = "127.0.0.1";
    std::string nick = "alice";
    std::string company = "acme";
    int meeting = 123456;
    int seconds = 8;
};

// Counts what the library reports through its log lines and shows progress.
class Progress {
public:
    void onLine(int level, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (text.rfind("save_logSegment(type=", 0) == 0) ++queued_[std::atoi(text.c_str() + 21)];
        if (text.rfind("slot_reportRspSuc:type:", 0) == 0) ++confirmed_[text.substr(23)];
        if (text.rfind("slot_reportRspFailed:", 0) == 0) ++failed_;
        if (text == "lastErrRep") lastErrRepHandled_ = true;
        if (level >= 2 || isMilestone(text)) std::printf("  [library] %s\n", text.c_str());
    }
    void summary() {
        std::lock_guard<std::mutex> lock(mutex_);
        static const char* names[] = {"error log", "detail log", "user report", "crash dump"};
        std::printf("Queued by the library:\n");
        for (const auto& [type, n] : queued_)
            std::printf("  %-12s %d segment(s)\n", type >= 0 && type < 4 ? names[type] : "other", n);
        std::printf("Confirmed by the server:\n");
        for (const auto& [type, n] : confirmed_) std::printf("  %-12s %d command(s)\n", type.c_str(), n);
        std::printf("Failed answers: %d\n", failed_);
    }
    bool lastErrRepHandled() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastErrRepHandled_;
    }
    int confirmedTotal() {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& entry : confirmed_) n += entry.second;
        return n;
    }

private:
    static bool isMilestone(const std::string& text) {
        for (const char* prefix : {"selected log server:", "startReport", "stopReport", "rpt to:", "lastErrRep",
                                   "slot_reportRspSuc:", "logPath:", "LogReport, thread stopped."})
            if (text.rfind(prefix, 0) == 0) return true;
        return false;
    }
    std::mutex mutex_;
    std::map<int, int> queued_;
    std::map<std::string, int> confirmed_;
    int failed_ = 0;
    bool lastErrRepHandled_ = false;
};

void writeCrashDump(const Options& o, const std::string& path) {
    std::string body(256 * 1024, '\0');
    std::mt19937 rng(7);
    for (auto& c : body) c = static_cast<char>(rng());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(body.data(), 1, body.size(), f);
    std::fclose(f);
    DumpTrailer t;
    t.meetVer = o.clientVersion;
    t.meetID = o.meeting;
    t.memberID = 42;
    t.client = o.pcid;
    t.ip = o.localIp;
    t.dumpTime = "2026-12-05 09:30:00";
    t.exceptionCode = "0xC0000005";
    t.faultAddress = "0x00007FF6A1B2C3D4";
    t.module = o.app + ".exe";
    appendDumpTrailer(path, t);
}

void talk(NQFileLog& log, int thread, std::atomic<bool>& running) {
    static const char* modules[] = {"audio", "video", "net", "ui"};
    std::mt19937 rng(static_cast<unsigned>(thread) * 7919u);
    for (int i = 0; running; ++i) {
        const char* module = modules[rng() % 4];
        const unsigned roll = rng() % 100;
        if (roll < 3)
            log.write(NQLOG_ERROR, module, "stream 0x%08x lost %u packets, resync #%d", static_cast<unsigned>(rng()), roll * 17, i);
        else if (roll < 10)
            log.write(NQLOG_WARN, module, "jitter %u ms on peer %u", roll * 3, static_cast<unsigned>(rng() % 64));
        else
            log.write(NQLOG_INFO, module, "frame %d encoded in %u us, bitrate %u kbps", i, 500 + roll * 11, 800 + roll * 7);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void printQueue(const std::string& rptPath) {
    const ReportFileScan scan = scanReportFile(rptPath);
    std::printf("Still queued in %s: %d segment(s), file %lld bytes%s\n", rptPath.c_str(), scan.queuedCount(),
                static_cast<long long>(scan.realSize), scan.problems.empty() ? "" : " (damaged)");
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App cli{"Plays a conference client that reports its logs to a log server."};
    cli.add_option("--servers", o.servers, "server list, host:port;host:port (two entries let the library reconnect)");
    cli.add_option("--log-dir", o.logDir, "folder for the log file, the report file and the dump (kept)");
    cli.add_option("--app", o.app, "application name");
    cli.add_option("--client-version", o.clientVersion, "client version");
    cli.add_option("--pcid", o.pcid, "machine identifier");
    cli.add_option("--local-ip", o.localIp, "local IP address written into reports");
    cli.add_option("--nick", o.nick, "user's nickname");
    cli.add_option("--company", o.company, "company id");
    cli.add_option("--meeting", o.meeting, "conference id joined during the session");
    cli.add_option("--seconds", o.seconds, "length of the session")->check(CLI::Range(1, 3600));
    CLI11_PARSE(cli, argc, argv);

    std::filesystem::create_directories(o.logDir);
    const std::string logPath = o.logDir + "/client.log";
    Progress progress;
    NQSetLogSink([&progress](int level, const std::string&, const std::string& text) { progress.onLine(level, text); });

    std::printf("Writing a crash dump beside the log file\n");
    writeCrashDump(o, o.logDir + "/" + o.app + "_crash.dmp");

    NQFileLog logger(logPath);
    NQLogReport report;
    report.Init(o.app, o.clientVersion, o.pcid, 5000, 0);
    report.setLogger(&logger);
    report.setLocIP(o.localIp);
    report.setNickName(o.nick);
    report.setCompID(o.company);
    report.setlogSvrInfo(o.servers);
    report.startReport();
    std::printf("Reporting to %s; session of %d s with 3 logging threads\n", o.servers.c_str(), o.seconds);

    std::atomic<bool> running{true};
    std::vector<std::thread> talkers;
    for (int t = 0; t < 3; ++t) talkers.emplace_back(talk, std::ref(logger), t, std::ref(running));

    const auto third = std::chrono::milliseconds(o.seconds * 1000 / 3);
    std::this_thread::sleep_for(third);
    std::printf("Joining conference %d\n", o.meeting);
    report.setMeetInfo(o.meeting);
    std::this_thread::sleep_for(third);
    std::printf("Sending a user report with an attachment\n");
    userReportData user;
    user.contact = o.nick + "@example.org";
    user.content = "The other side could not hear me for a minute.";
    user.attachments.push_back({"settings.txt", "audio settings", NQByteArray(std::string("mic=default\ngain=0.8\n"))});
    postUserReport(user);
    std::this_thread::sleep_for(third);
    std::printf("Leaving the conference\n");
    report.setMeetInfo(0);
    running = false;
    for (auto& t : talkers) t.join();

    std::printf("Last report before shutting down\n");
    report.lastErrRep(0);
    const std::string rptPath = o.logDir + "/client.log.rpt";
    // Give the last pass time to reach the server; what does not stays queued
    // for the next run.
    for (int i = 0; i < 50 && !progress.lastErrRepHandled(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < 150 && scanReportFile(rptPath).queuedCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    report.Uninit();
    NQSetLogSink(nullptr);

    std::printf("\nSummary\n");
    progress.summary();
    printQueue(rptPath);
    std::printf("Log folder kept: %s\n", o.logDir.c_str());
    return progress.confirmedTotal() > 0 ? 0 : 1;
}
