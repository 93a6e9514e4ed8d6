// logreport-faultharness: proof under faults, with figures.
//  - kill test: a client logging a steady stream is killed with SIGKILL at
//    random moments and started again on the same log folder; at the end every
//    line of its log file must have reached the server at least once;
//  - outage test: the server is stopped for a while as the client keeps
//    logging, then started again; the queue drains and nothing is lost;
//  - server kill: clients upload while the server is killed with SIGKILL
//    and started again; every confirmed command is stored whole, once;
//  - dead host: a candidate whose listen backlog is full costs the server
//    selection at most the configured time-out.
// Exit status 0 only when nothing was lost and every bound held.
#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "NQCommon.h"
#include "NQFileLog.h"
#include "NQLogReport.h"
#include "harness.h"
#include "serverProcess.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    int trials = 20;
    int serverKills = 0;
    int outageSeconds = 5;
    int timeoutMs = 1000;
    int backlogMb = 0;
    unsigned seed = 1;
    std::string work = "faultharness-run";
    std::string serverBin;
    // child mode
    bool child = false;
    bool drain = false;
    int trial = 0;
    std::string logDir;
    std::string servers;
    int64_t lines = 0;
};

pid_t spawnChild(const std::string& self, const Options& o, const std::string& logDir, int trial, bool drain) {
    std::vector<std::string> args = {self, "--child", "--log-dir", logDir, "--servers", o.servers,
                                     "--trial", std::to_string(trial), "--timeout-ms", std::to_string(o.timeoutMs)};
    if (drain) args.push_back("--drain");
    // Built before fork: the child of a threaded process must not allocate.
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for the child up to limitMs; returns its status, or -1 on time-out.
int waitChild(pid_t pid, int limitMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status;
}

void printTally(const char* name, const harness::Tally& t) {
    std::printf("%s: lines written %lld, delivered %lld, duplicated %lld, lost to the reset rule %lld, lost otherwise %lld\n",
                name, static_cast<long long>(t.written), static_cast<long long>(t.delivered),
                static_cast<long long>(t.duplicated), static_cast<long long>(t.lostToReset),
                static_cast<long long>(t.lost));
}

std::set<std::string> toLineSet(const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) lines.insert(l);
    return lines;
}

// A log file that already holds `mb` MB of numbered lines when the first client
// starts, so the kills land while a backlog is being shipped.
void writeBacklog(const std::string& logPath, int mb) {
    NQBase::NQFileLog logger(logPath);
    const int64_t bytes = int64_t(mb) << 20;
    for (int64_t n = 0, written = 0; written < bytes; ++n) {
        const std::string text = "backlog line " + std::to_string(n) + " session 0x" + std::to_string(n * 2654435761ull) +
                                 " queued before the first start of the client";
        logger.write(n % 12 == 0 ? NQBase::NQLOG_ERROR : NQBase::NQLOG_INFO, "fault", text);
        written += static_cast<int64_t>(text.size()) + 40;
    }
}

bool runKillTest(const std::string& self, Options& o, testsupport::ServerProcess& server) {
    const std::string logDir = o.work + "/kill-client";
    fs::create_directories(logDir);
    if (o.backlogMb > 0) writeBacklog(logDir + "/client.log", o.backlogMb);
    std::mt19937 rng(o.seed);
    std::uniform_int_distribution<int> life(150, 1500);
    std::set<std::string> resetLines;
    int crashed = 0;
    int resets = 0;
    for (int trial = 1; trial <= o.trials; ++trial) {
        const pid_t pid = spawnChild(self, o, logDir, trial, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(life(rng)));
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) != 0) {
            ++crashed;  // ended before it was killed
            std::printf("kill test: trial %d ended by itself (%s %d)\n", trial,
                        WIFSIGNALED(status) ? "signal" : "exit status",
                        WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        } else {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        const std::string lost = harness::linesLostToReset(logDir + "/client.log.rpt");
        if (!lost.empty()) ++resets;
        for (const auto& l : toLineSet(lost)) resetLines.insert(l);
    }
    const int drainStatus = waitChild(spawnChild(self, o, logDir, 0, true), 120000);
    const harness::Tally t = harness::compare(logDir + "/client.log", o.work + "/store", resetLines);
    std::printf("kill test: %d trials, %d restarts that crashed, %d torn appends reset, final drain %s\n", o.trials,
                crashed, resets, drainStatus == 0 ? "clean" : "FAILED");
    printTally("kill test", t);
    std::printf("kill test: %.1f lines duplicated per kill, %.3f %% of the lines written\n",
                o.trials > 0 ? static_cast<double>(t.duplicated) / o.trials : 0.0,
                t.written > 0 ? 100.0 * static_cast<double>(t.duplicated) / static_cast<double>(t.written) : 0.0);
    // Segments sent again after a kill that the server had stored already.
    std::printf("kill test: the server dropped %d re-sends of commands it had stored\n",
                server.countOutput(": dropped a re-send of seq "));
    return crashed == 0 && drainStatus == 0 && t.lost == 0;
}

bool runOutageTest(const std::string& self, Options& o, testsupport::ServerProcess& server) {
    const std::string logDir = o.work + "/outage-client";
    fs::create_directories(logDir);
    const pid_t pid = spawnChild(self, o, logDir, 100000, false);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    server.stop();
    std::printf("outage test: server stopped for %d s while the client keeps logging\n", o.outageSeconds);
    std::this_thread::sleep_for(std::chrono::seconds(o.outageSeconds));
    if (!server.start()) {
        std::printf("outage test: server did not start again\n");
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return false;
    }
    // The client pauses 30 s after a failure before it sends again.
    std::this_thread::sleep_for(std::chrono::seconds(33));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::set<std::string> resetLines = toLineSet(harness::linesLostToReset(logDir + "/client.log.rpt"));
    const int drainStatus = waitChild(spawnChild(self, o, logDir, 0, true), 120000);
    const harness::Tally t = harness::compare(logDir + "/client.log", o.work + "/store", resetLines);
    printTally("outage test", t);
    return drainStatus == 0 && t.lost == 0;
}

// A loopback listener that never accepts, its backlog filled: connection
// attempts to it hang instead of being refused.
int fullBacklogListener(int& port, std::vector<int>& fillers) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    listen(fd, 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    for (int i = 0; i < 4; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        fillers.push_back(c);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return fd;
}

bool runDeadHostTest(const Options& o) {
    int port = 0;
    std::vector<int> fillers;
    const int listener = fullBacklogListener(port, fillers);
    std::atomic<int64_t> failedAtMs{-1};
    const auto begin = Clock::now();
    NQBase::NQSetLogSink([&](int, const std::string&, const std::string& text) {
        if (text == "slot_logSvrSelectFailed, try use default")
            failedAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
    });
    {
        NQBase::NQLogReport report;
        report.Init("harness", "1.0", "PC-H", o.timeoutMs, 0);
        const std::string entry = "127.0.0.1:" + std::to_string(port);
        report.setlogSvrInfo(entry + ";" + entry);
        const auto limit = Clock::now() + std::chrono::milliseconds(o.timeoutMs * 3 + 5000);
        while (failedAtMs < 0 && Clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        report.Uninit();
    }
    NQBase::NQSetLogSink(nullptr);
    for (int c : fillers) close(c);
    close(listener);
    const int64_t cost = failedAtMs;
    const bool ok = cost >= 0 && cost <= o.timeoutMs + 500;
    std::printf("dead host: selection gave up after %lld ms with a time-out of %d ms (%s)\n",
                static_cast<long long>(cost), o.timeoutMs, ok ? "within bound" : "TOO SLOW");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
#ifdef LOGREPORT_SERVER_BIN
    o.serverBin = LOGREPORT_SERVER_BIN;
#endif
    CLI::App cli{"Kills, outages and dead hosts against the real library and server on 127.0.0.1."};
    cli.add_option("--trials", o.trials, "kill trials");
    cli.add_option("--server-kills", o.serverKills, "times the server is killed under upload (0: skip)");
    cli.add_option("--outage-seconds", o.outageSeconds, "how long the server is down in the outage test (0: skip)");
    cli.add_option("--timeout-ms", o.timeoutMs, "the library's call time-out");
    cli.add_option("--seed", o.seed, "seed of the kill moments");
    cli.add_option("--backlog-mb", o.backlogMb, "MB of log lines already waiting when the kill test starts");
    cli.add_option("--work", o.work, "scratch folder (emptied first)");
    cli.add_option("--server-bin", o.serverBin, "path of logreport-server");
    cli.add_flag("--child", o.child)->group("");
    cli.add_flag("--drain", o.drain)->group("");
    cli.add_option("--trial", o.trial)->group("");
    cli.add_option("--log-dir", o.logDir)->group("");
    cli.add_option("--servers", o.servers)->group("");
    cli.add_option("--lines", o.lines, "child: stop after this many lines, upload the rest and exit")->group("");
    CLI11_PARSE(cli, argc, argv);

    if (o.child) return harness::runClient(o.logDir, o.servers, o.trial, o.drain, o.timeoutMs, o.lines);

    const std::string self = fs::canonical("/proc/self/exe").string();
    fs::remove_all(o.work);
    fs::create_directories(o.work);
    o.work = fs::canonical(o.work).string();
    const int port = testsupport::freeLoopbackPort();
    o.servers = "127.0.0.1:" + std::to_string(port) + ";127.0.0.1:" + std::to_string(port);
    testsupport::ServerProcess server(o.serverBin, o.work + "/store", port);
    if (!server.start()) {
        std::fprintf(stderr, "cannot start %s\n%s", o.serverBin.c_str(), server.output().c_str());
        return 2;
    }
    const auto begin = Clock::now();
    bool ok = runKillTest(self, o, server);
    if (o.outageSeconds > 0) ok = runOutageTest(self, o, server) && ok;
    ok = runDeadHostTest(o) && ok;
    if (o.serverKills > 0) ok = harness::runServerKillTest(o.serverBin, o.work, o.serverKills, o.seed) && ok;
    server.stop();
    std::printf("server: %s", server.output().substr(server.output().rfind("logreport-server stopped")).c_str());
    std::printf("harness %s in %lld s\n", ok ? "PASSED" : "FAILED",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begin).count()));
    return ok ? 0 : 1;
}
