// The Windows side of the Wine stage: a client of the library, as a product
// links it, run under Wine against the reference server on Linux. Each mode
// does one thing and says what happened in lines on stdout; the Linux driver
// (wineStage_test.cpp) checks what the server stored.
//   road   BASE SERVERS          error log, detail log, crash dump and a user
//                                report from BASE/<kLogFolder>; waits for all
//   select BASE SERVERS MS       one server selection with time-out MS
//   tls    BASE SERVERS          one error line, over whatever logReport.config
//                                beside the executable says
//   kill   DIR SERVERS KILLS     a backlog in DIR, clients killed with
//                                TerminateProcess KILLS times, then drained
//   backlog DIR SERVERS TRIAL | drain DIR SERVERS   (the children of kill)
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../../tools/faultharness/harness.h"
#include "NQCommon.h"
#include "NQFileLog.h"
#include "NQLogReport.h"
#include "logRptProtocol.h"
#include "wineStage.h"

namespace fs = std::filesystem;
using namespace NQBase;
using Clock = std::chrono::steady_clock;

namespace {

// The library's own log lines, kept so the modes can wait for one.
class LineWatch {
public:
    void add(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(text);
        cv_.notify_all();
    }
    // The first line that holds one of the fragments, waiting up to
    // timeoutMs; empty when none came.
    std::string waitFor(const std::vector<std::string>& fragments, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::string found;
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (const std::string& line : lines_)
                for (const std::string& fragment : fragments)
                    if (line.find(fragment) != std::string::npos) {
                        found = line;
                        return true;
                    }
            return false;
        });
        return found;
    }
    bool seen(const std::string& fragment) { return !waitFor({fragment}, 0).empty(); }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

LineWatch gWatch;

void watchLibraryLines() {
    NQSetLogSink([](int, const std::string&, const std::string& text) { gWatch.add(text); });
}

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string readBytes(const std::string& path) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool reportFileDrained(const std::string& logPath) {
    std::error_code ec;
    // A report file with nothing queued is its header alone.
    return fs::file_size(fs::u8path(logPath + ".rpt"), ec) == 20 && !ec;
}

void startClient(NQLogReport& report, NQFileLog* logger, const std::string& servers, int timeoutMs) {
    report.Init(winestage::kApp, winestage::kVersion, winestage::kClient, timeoutMs, 0);
    report.setLocIP(winestage::kClientIp);
    if (logger) report.setLogger(logger);
    report.setNickName(winestage::kNick);
    report.setlogSvrInfo(servers);
    report.startReport();
}

int runRoad(const std::string& base, const std::string& servers) {
    const std::string dir = base + "/" + winestage::kLogFolder;
    const std::string dumpPath = dir + "/" + winestage::kDumpName;
    const std::string attachment = readBytes(dir + "/" + winestage::kAttachmentName);
    if (attachment.empty() || !fs::exists(fs::u8path(dumpPath))) {
        std::printf("road: the driver's dump or attachment is missing in the log folder\n");
        return winestage::kFailed;
    }
    watchLibraryLines();
    NQFileLog logger(dir + "/client.log");
    for (int i = 0; i < 2500; ++i) {  // about 200 KB: several detail pieces
        logger.write(i % 10 == 0 ? NQLOG_ERROR : NQLOG_INFO, "conf", "road line %d id=0x%08x joined room with %d peers",
                     i, i * 2654435761u, i % 7);
    }
    NQLogReport report;
    startClient(report, &logger, servers, 2000);
    const std::string selected = gWatch.waitFor({"selected log server:"}, 30000);
    if (selected.empty()) {
        std::printf("road: no server selected\n");
        return winestage::kFailed;
    }
    userReportData user;
    user.contact = "alice@example.org";
    user.content = "audio drops";
    user.attachments.push_back({winestage::kAttachmentName, "screen", NQByteArray(attachment)});
    postUserReport(user);

    // Everything queued (error log, detail log, dump), the user report
    // answered, and nothing left in the report file.
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    bool done = false;
    while (!done && Clock::now() < deadline) {
        done = gWatch.seen("save_logSegment(type=0,") && gWatch.seen("save_logSegment(type=1,") &&
               gWatch.seen("save_logSegment(type=3,") && gWatch.seen("slot_reportRspSuc:type:reportUser") &&
               reportFileDrained(dir + "/client.log");
        if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    report.Uninit();
    std::printf("road: %s (%s)\n", done ? "everything sent" : "NOT everything sent", selected.c_str());
    return done ? winestage::kDone : winestage::kFailed;
}

int runSelect(const std::string& base, const std::string& servers, int timeoutMs) {
    watchLibraryLines();
    fs::create_directories(fs::u8path(base));
    NQFileLog logger(base + "/select.log");
    NQLogReport report;
    const auto start = Clock::now();
    startClient(report, &logger, servers, timeoutMs);
    const std::string line =
        gWatch.waitFor({"selected log server:", "slot_logSvrSelectFailed"}, 4 * timeoutMs + 20000);
    const long long elapsed = msSince(start);
    report.Uninit();
    if (line.empty()) {
        std::printf("select: nothing after %lld ms\n", elapsed);
        return winestage::kFailed;
    }
    std::printf("select: %s after %lld ms\n", line.c_str(), elapsed);
    return winestage::kDone;
}

int runTls(const std::string& base, const std::string& servers) {
    watchLibraryLines();
    fs::create_directories(fs::u8path(base));
    NQFileLog logger(base + "/tls.log");
    NQLogReport report;
    startClient(report, &logger, servers, 3000);
    logger.write(NQLOG_ERROR, "conf", "sent over tls from %s", winestage::kClient);
    report.lastErrRep(0);
    const std::string line = gWatch.waitFor({"slot_reportRspSuc:type:reportLog", "refused:"}, 30000);
    report.Uninit();
    std::printf("tls: %s\n", line.empty() ? "no answer" : line.c_str());
    if (line.empty()) return winestage::kFailed;
    return line.find("refused:") != std::string::npos ? winestage::kRefused : winestage::kDone;
}

// A log file that already holds mb MB of numbered lines, so the kills land
// while a backlog is being shipped.
void writeBacklog(const std::string& logPath, int mb) {
    NQFileLog logger(logPath);
    const long long bytes = static_cast<long long>(mb) << 20;
    for (long long n = 0, written = 0; written < bytes; ++n) {
        const std::string text = "backlog line " + std::to_string(n) + " session 0x" +
                                 std::to_string(n * 2654435761ull) + " queued before the first start of the client";
        logger.write(n % 12 == 0 ? NQLOG_ERROR : NQLOG_INFO, "fault", text);
        written += static_cast<long long>(text.size()) + 40;
    }
}

HANDLE startChild(const std::string& commandLine) {
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

std::string selfPath() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

int runKill(const std::string& dir, const std::string& servers, int kills) {
    fs::create_directories(dir);
    writeBacklog(dir + "/client.log", 4);
    const std::string self = "\"" + selfPath() + "\" ";
    const std::string args = " \"" + dir + "\" \"" + servers + "\"";
    std::mt19937 rng(20);
    std::uniform_int_distribution<int> life(300, 2000);
    std::ofstream resetLines(dir + "/reset-lines.txt", std::ios::binary | std::ios::trunc);
    int endedEarly = 0;
    int resets = 0;
    for (int trial = 1; trial <= kills; ++trial) {
        HANDLE child = startChild(self + "backlog" + args + " " + std::to_string(trial));
        if (!child) {
            std::printf("kill: cannot start a client (%lu)\n", GetLastError());
            return winestage::kFailed;
        }
        Sleep(static_cast<DWORD>(life(rng)));
        if (WaitForSingleObject(child, 0) == WAIT_OBJECT_0) {
            ++endedEarly;
        } else {
            TerminateProcess(child, 9);
            WaitForSingleObject(child, INFINITE);
        }
        CloseHandle(child);
        const std::string lost = harness::linesLostToReset(dir + "/client.log.rpt");
        if (!lost.empty()) ++resets;
        resetLines << lost;
    }
    resetLines.close();
    HANDLE drain = startChild(self + "drain" + args);
    DWORD drainStatus = 1;
    if (drain && WaitForSingleObject(drain, 180000) == WAIT_OBJECT_0) GetExitCodeProcess(drain, &drainStatus);
    if (drain) {
        TerminateProcess(drain, 9);
        CloseHandle(drain);
    }
    std::printf("kill: %d clients killed with TerminateProcess, %d ended by themselves, %d torn appends reset, "
                "final drain %s\n", kills - endedEarly, endedEarly, resets, drainStatus == 0 ? "clean" : "FAILED");
    return endedEarly == 0 && drainStatus == 0 ? winestage::kDone : winestage::kFailed;
}

int usage(const char* self) {
    std::fprintf(stderr, "usage: %s road|select|tls|kill|backlog|drain ARGS (see the source)\n", self);
    return winestage::kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 4) return usage(argv[0]);
    const std::string mode = argv[1];
    const std::string where = argv[2];
    const std::string servers = argv[3];
    if (mode == "road" && argc == 4) return runRoad(where, servers);
    if (mode == "select" && argc == 5) return runSelect(where, servers, std::atoi(argv[4]));
    if (mode == "tls" && argc == 4) return runTls(where, servers);
    if (mode == "kill" && argc == 5) return runKill(where, servers, std::atoi(argv[4]));
    if (mode == "backlog" && argc == 5) return harness::runClient(where, servers, std::atoi(argv[4]), false, 1000);
    if (mode == "drain" && argc == 4) return harness::runClient(where, servers, 0, true, 1000);
    return usage(argv[0]);
}
