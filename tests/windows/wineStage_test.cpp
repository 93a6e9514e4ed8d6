// The Wine stage: the library's Windows build, run under Wine, against the
// reference log server running natively on this machine on 127.0.0.1. The
// Windows programs live in LOGREPORT_WINDOWS_BIN (build-windows/bin), and WINE
// names the Wine loader (default: wine). What the server stored is checked
// here, with the checker the Linux end-to-end tests use.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "collect/dumpTrailer.h"
#include "harness.h"
#include "serverProcess.h"
#include "storedUpload.h"
#include "testSupport.h"
#include "tlsFiles.h"
#include "wineStage.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

struct WindowsRun {
    int status = -1;  // exit status, -1 when killed at the time limit
    std::string output;
};

std::string windowsBin() {
    const char* bin = std::getenv("LOGREPORT_WINDOWS_BIN");
    return bin ? bin : "";
}

// Runs a Windows program under Wine, in cwd, with extra environment entries;
// its output is collected until it exits or timeoutMs passes (then its
// process group is killed).
WindowsRun runWindows(const std::string& exe, const std::vector<std::string>& args, int timeoutMs,
                      const std::string& cwd, const std::vector<std::string>& env = {}) {
    const char* wineEnv = std::getenv("WINE");
    std::vector<std::string> argv = {wineEnv ? wineEnv : "wine", exe};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    // Built before fork: the child of a threaded process must not allocate.
    std::vector<std::string> envStrings(env);
    for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
    std::vector<char*> cenv;
    for (auto& e : envStrings) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        execvpe(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    close(fds[1]);
    WindowsRun run;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000))) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n <= 0) break;
        run.output.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (timedOut) kill(-pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = !timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// A listener that accepts connections (the kernel completes them) and never
// answers: a server that hangs.
class HungListener {
public:
    HungListener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        listen(fd_, 16);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~HungListener() { close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

long long elapsedMsIn(const std::string& output) {
    std::smatch m;
    static const std::regex after(" after ([0-9]+) ms");
    return std::regex_search(output, m, after) ? std::stoll(m[1]) : -1;
}

class WineStage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(windowsBin().empty()) << "LOGREPORT_WINDOWS_BIN must name the Windows build's bin folder";
        client = windowsBin() + "/logreport-wine-client.exe";
        ASSERT_TRUE(fs::exists(client)) << client;
        port = testsupport::freeLoopbackPort();
        storeDir = dir.file("store");
    }
    void TearDown() override {
        if (server) server->stop();
    }
    void startServer(std::vector<std::string> args = {}) {
        if (server) server->stop();
        args.push_back("--no-sync");
        server = std::make_unique<testsupport::ServerProcess>(LOGREPORT_SERVER_BIN, storeDir, port, args);
        ASSERT_TRUE(server->start()) << server->output();
    }
    std::string twice(int p) const {
        return "127.0.0.1:" + std::to_string(p) + ";127.0.0.1:" + std::to_string(p);
    }
    WindowsRun runClient(const std::vector<std::string>& args, int timeoutMs = 180000) {
        return runWindows(client, args, timeoutMs, dir.path());
    }

    testsupport::TempDir dir;
    std::string client;
    int port = 0;
    std::string storeDir;
    std::unique_ptr<testsupport::ServerProcess> server;
};

TEST_F(WineStage, WholeRoadFromAUnicodeFolderArrivesByteExact) {
    startServer();
    const std::string base = dir.file("road");
    const std::string logDir = base + "/" + winestage::kLogFolder;
    fs::create_directories(fs::u8path(logDir));
    const std::string dumpPath = logDir + "/" + winestage::kDumpName;
    std::string body(3 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131) ^ (i >> 9));
    writeFile(dumpPath, body);
    NQBase::DumpTrailer trailer;
    trailer.meetVer = winestage::kVersion;
    trailer.meetID = 4321;
    trailer.client = winestage::kClient;
    trailer.dumpTime = "2026-12-06 11:59:00";
    trailer.exceptionCode = "0xC0000005";
    ASSERT_TRUE(NQBase::appendDumpTrailer(dumpPath, trailer));
    const std::string dumpBytes = readFile(dumpPath);
    const std::string attachment("\x89PNG\r\n\x1a\n\0\1\2\3 screen", 20);
    writeFile(logDir + "/" + winestage::kAttachmentName, attachment);

    const WindowsRun run = runClient({"road", base, twice(port)});
    ASSERT_EQ(run.status, winestage::kDone) << run.output;

    testsupport::QueuedUpload queued;
    queued.client = winestage::kClient;
    queued.module = winestage::kApp;
    queued.version = winestage::kVersion;
    queued.clientIp = winestage::kClientIp;
    queued.nick = winestage::kNick;
    queued.logText = readFile(logDir + "/client.log");
    queued.dumpBytes = dumpBytes;
    queued.attachments = {{winestage::kAttachmentName, attachment}};
    ASSERT_GT(queued.logText.size(), 150000u);
    for (const std::string& mismatch : testsupport::storedMismatches(storeDir, queued)) ADD_FAILURE() << mismatch;
    EXPECT_TRUE(fs::exists(fs::u8path(dumpPath + ".bak"))) << "the dump is set aside once sent";
    server->stop();
    EXPECT_NE(server->output().find(" 0 violations"), std::string::npos) << server->output();
}

// Dead (refused), hung (accepts, never answers) and live candidates. The
// figures are printed for the Windows notes.
TEST_F(WineStage, SelectionFailuresCostAtMostTheTimeout) {
    startServer();
    HungListener hung;
    const int dead = testsupport::freeLoopbackPort();
    constexpr int kTimeoutMs = 1500;
    const std::string live = "127.0.0.1:" + std::to_string(port);
    const std::string deadEntry = "127.0.0.1:" + std::to_string(dead);
    const std::string hungEntry = "127.0.0.1:" + std::to_string(hung.port());

    const WindowsRun mixed =
        runClient({"select", dir.file("select"), deadEntry + ";" + hungEntry + ";" + live, std::to_string(kTimeoutMs)});
    ASSERT_EQ(mixed.status, winestage::kDone) << mixed.output;
    EXPECT_NE(mixed.output.find("selected log server:Log.ClientLogServer:tcp -h 127.0.0.1 -p " + std::to_string(port)),
              std::string::npos)
        << mixed.output;

    const WindowsRun none =
        runClient({"select", dir.file("select"), hungEntry + ";" + deadEntry, std::to_string(kTimeoutMs)});
    ASSERT_EQ(none.status, winestage::kDone) << none.output;
    EXPECT_NE(none.output.find("slot_logSvrSelectFailed"), std::string::npos) << none.output;
    const long long failedAfter = elapsedMsIn(none.output);
    // The hung candidate cannot fail before its time-out, and must not take
    // much longer: Wine's timers are coarse, so the margin is wide.
    EXPECT_GE(failedAfter, kTimeoutMs - 100) << none.output;
    EXPECT_LE(failedAfter, kTimeoutMs + 5000) << none.output;
    std::printf("[wine figures] selection dead+hung+live with time-out %d ms: selected after %lld ms\n", kTimeoutMs,
                elapsedMsIn(mixed.output));
    std::printf("[wine figures] selection hung+dead with time-out %d ms: failed after %lld ms\n", kTimeoutMs,
                failedAfter);
}

class WineTls : public WineStage {
protected:
    void SetUp() override {
        WineStage::SetUp();
        fs::create_directories(dir.file("tls"));
        tls = testsupport::makeTlsFiles(dir.file("tls"), testsupport::CaKey::Rsa);
        ASSERT_TRUE(tls.error.empty()) << tls.error;
        writeFile(dir.file("tokens"), "acme acme-token-0123456789\n");
        // The client in a folder of its own with its settings beside it; the
        // CA is named relative to that folder, and the client runs elsewhere.
        appDir = dir.file("app");
        fs::create_directories(appDir);
        fs::copy_file(client, appDir + "/logreport-wine-client.exe");
        fs::copy_file(tls.caPem, appDir + "/ca.pem");
        writeFile(appDir + "/logReport.config",
                  "LogReport.Transport=ssl\nIceSSL.CAs=ca.pem\nIceSSL.CheckCertName=1\nLogReport.Token=acme-token-0123456789\n");
    }
    // host names both candidates of the server list: an IP address, as
    // deployments usually give them, or a DNS name.
    WindowsRun runTlsClient(const std::string& host) {
        const std::string entry = host + ":" + std::to_string(port);
        return runWindows(appDir + "/logreport-wine-client.exe", {"tls", dir.file("tls-" + host), entry + ";" + entry},
                          120000, dir.path(), {"WINEPATH=" + windowsBin()});
    }
    void startSslServer(const std::string& p12) {
        auto args = testsupport::sslServerArgs(tls, p12, port);
        args.insert(args.end(), {"--tokens", dir.file("tokens")});
        startServer(args);
    }

    testsupport::TlsFiles tls;
    std::string appDir;
};

size_t occurrences(const std::string& text, const std::string& fragment) {
    size_t n = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++n;
    return n;
}

// The certificate carries 127.0.0.1 as an IP entry of its subjectAltName
// (and localhost as a DNS entry): by address the name check must match the
// IP entry, by name the DNS entry.
TEST_F(WineTls, CertificateCheckedByAddressAndByNameTokenFromTheShippedSettings) {
    startSslServer(tls.serverP12);
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        const WindowsRun run = runTlsClient(host);
        ASSERT_EQ(run.status, winestage::kDone) << run.output;
    }
    const std::string stored = testsupport::storedDays(storeDir + "/acme/errlog/" + winestage::kClient);
    EXPECT_EQ(occurrences(stored, "sent over tls from PC-WIN"), 2u) << "both stored under the token's organisation";
}

// Each refusal for its own reason: a refusal for anything else (a CA file
// not found, a server not reached) would hide a name check that lets
// everything through.
TEST_F(WineTls, WrongCaWrongNameAndWrongAddressAreRefused) {
    struct Case {
        std::string p12;
        std::string host;
        std::string reason;
    };
    const Case cases[] = {
        {tls.wrongCaP12, "127.0.0.1", "CERT_TRUST_IS_UNTRUSTED_ROOT"},
        {tls.wrongNameP12, "127.0.0.1", "IP address mismatch"},
        {tls.wrongIpP12, "127.0.0.1", "IP address mismatch"},
        {tls.wrongNameP12, "localhost", "Hostname mismatch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.p12 + " named " + c.host);
        startSslServer(c.p12);
        const WindowsRun run = runTlsClient(c.host);
        EXPECT_EQ(run.status, winestage::kRefused) << run.output;
        EXPECT_NE(run.output.find(c.reason), std::string::npos) << run.output;
        EXPECT_FALSE(fs::exists(storeDir + "/acme/errlog")) << "nothing reaches a server that was refused";
    }
}

TEST_F(WineStage, ClientKilledTenTimesMidBacklogLosesNothing) {
    startServer();
    const std::string logDir = dir.file("kill");
    constexpr int kKills = 10;
    const WindowsRun run = runClient({"kill", logDir, twice(port), std::to_string(kKills)}, 600000);
    ASSERT_EQ(run.status, winestage::kDone) << run.output;

    std::set<std::string> resetLines;
    std::istringstream lost(readFile(logDir + "/reset-lines.txt"));
    for (std::string line; std::getline(lost, line);)
        if (!line.empty()) resetLines.insert(line);
    const harness::Tally t = harness::compare(logDir + "/client.log", storeDir, resetLines);
    EXPECT_GT(t.written, 20000);
    EXPECT_EQ(t.lost, 0);
    EXPECT_LE(t.duplicatedRuns, kKills) << "at most one piece per kill is stored twice";
    std::printf("[wine figures] %s[wine figures] kill: lines written %lld, delivered %lld, duplicated %lld in %lld "
                "pieces, lost to the reset rule %lld, lost otherwise %lld\n",
                run.output.c_str(), static_cast<long long>(t.written), static_cast<long long>(t.delivered),
                static_cast<long long>(t.duplicated), static_cast<long long>(t.duplicatedRuns),
                static_cast<long long>(t.lostToReset), static_cast<long long>(t.lost));
}

TEST_F(WineStage, LibraryLoadedAndFreedByAThreadedHost) {
    startServer();
    const std::string logDir = dir.file("dll");
    fs::create_directories(logDir);
    const WindowsRun run =
        runWindows(windowsBin() + "/logreport-wine-dllhost.exe", {logDir, twice(port)}, 180000, dir.path());
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("dll host: done"), std::string::npos) << run.output;
}

}  // namespace
