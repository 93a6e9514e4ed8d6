// The whole road of a backlog: N MB of generated log lines written through the
// reference logger (NQFileLog), then shipped by the library to a
// `logreport-server --no-sync` on 127.0.0.1, with lastErrRep(100) called until
// everything has arrived. Side by side, in the same run, the limit: zlib_compress
// at level 6 alone, on one thread, over the same pieces (the detail log cut as the
// detail collector cuts it, and the error lines as one piece).
//
// The client runs in a child process (this program with --road-client), so that
// its CPU time and peak RSS are its own: the parent takes its CPU time from
// wait4, the child reports its peak RSS (VmHWM). The client's wall time runs
// from before Init until its report file is empty and the logger's state file
// says that both kinds of text were handed out; the parent then checks on the
// server's output that every byte of the log arrived.
//
//   road_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
//
// ROAD_BENCH_STORE=<dir> keeps the server's store in dir from one run to the
// next (back-to-back runs on one disk: does the server slow down as its store
// grows?); ROAD_BENCH_SERVER=<binary> runs another build's server. The
// server's CPU time (from /proc before it stops) and its CPU per stored
// command are reported in both cases.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "NQCommon.h"
#include "NQCompress.h"
#include "NQFileLog.h"
#include "NQLogReport.h"
#include "store/reportRecords.h"
#include "support/XorShift64.h"
#include "worker/logReportThrdObj.h"

#include "../tests/support/serverProcess.cpp"

#ifndef LOGREPORT_SERVER_BIN
#error "LOGREPORT_SERVER_BIN must name the reference log server"
#endif

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

std::string gSelf;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double cpuClockSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
double threadCpuSeconds() { return cpuClockSeconds(CLOCK_THREAD_CPUTIME_ID); }
double selfCpuSeconds() { return cpuClockSeconds(CLOCK_PROCESS_CPUTIME_ID); }

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------
// The client, in its own process.

bool stateAt(const std::string& statePath, int64_t end) {
    long long error = -1, detail = -1;
    std::FILE* f = std::fopen(statePath.c_str(), "rb");
    if (f == nullptr) return false;
    const bool read = std::fscanf(f, "%lld %lld", &error, &detail) == 2;
    std::fclose(f);
    return read && error == end && detail == end;
}

// Whether the report file's queue is empty, from its 20-byte header alone: the
// position of the next segment has reached the file's end. Scanning the whole
// file instead cost the client process a fifth of a second of its CPU per run,
// which is the harness's, not the library's.
bool queueEmpty(const std::string& reportPath) {
    std::ifstream in(reportPath, std::ios::binary);
    NQBase::logHeader header;
    header.read(in);
    return in.good() && header.magic == NQBase::kLogHeaderMagic &&
           (header.fileSize == NQBase::kLogHeaderSize || header.position >= header.fileSize);
}

int runClient(const std::string& logDir, const std::string& servers) {
    NQBase::NQSetLogSink([](int, const std::string&, const std::string&) {});
    const std::string logPath = logDir + "/client.log";
    const int64_t logSize = static_cast<int64_t>(fs::file_size(logPath));
    const Clock::time_point begin = Clock::now();
    // The process's CPU from here to the drain is the library's work on the
    // road (and the watcher's polls); what the whole process used adds its
    // start (loading Ice), the idle lastErrRep after the drain and Uninit.
    const double cpuBegin = selfCpuSeconds();
    // A watcher notes when everything has gone, to 5 ms; the loop below would
    // see it only at its next lastErrRep, up to 100 ms later.
    std::atomic<bool> drained{false};
    std::atomic<bool> stopWatch{false};
    Clock::time_point drainedAt{};
    double drainedCpu = 0;
    std::thread watcher([&] {
        while (!stopWatch.load()) {
            if (stateAt(logPath + ".state", logSize) && queueEmpty(logPath + ".rpt")) {
                drainedAt = Clock::now();
                drainedCpu = selfCpuSeconds() - cpuBegin;
                drained.store(true);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    {
        NQBase::NQFileLog logger(logPath);
        NQBase::NQLogReport report;
        report.Init("road", "5.2.1", "PC-7", 5000, 0);
        report.setLogger(&logger);
        report.setNickName("road");
        report.setlogSvrInfo(servers);
        report.startReport();
        for (int i = 0; i < 3000 && !drained.load(); ++i) report.lastErrRep(100);
        stopWatch.store(true);
        watcher.join();
        const double wall = drained.load() ? seconds(drainedAt - begin) : seconds(Clock::now() - begin);
        // VmHWM: this process image's own peak (wait4's figure would include
        // the parent's pages that the fork shared before the exec).
        long peakKiB = -1;
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.compare(0, 6, "VmHWM:") == 0) peakKiB = std::atol(line.c_str() + 6);
        const double cpu = drained.load() ? drainedCpu : selfCpuSeconds() - cpuBegin;
        std::printf("road-client wall %.6f peak %ld cpu %.6f\n", wall, peakKiB, cpu);
        std::fflush(stdout);
        report.Uninit();
    }
    return drained.load() ? 0 : 3;
}

// ---------------------------------------------------------------------------
// The parent: log lines, the limit, the server.

const char* const kModules[] = {"net", "media", "ui", "conf", "audio", "video", "sig", "store"};
const char* const kWords[] = {"session", "peer",   "packet", "frame",  "jitter", "buffer", "retry", "timeout",
                              "codec",   "stream", "bitrate", "socket", "state",  "token",  "queue", "render"};

// Writes lines through the logger until the file holds at least `bytes`; one in
// twelve at ERROR. Returns the number of lines.
int64_t writeLog(const std::string& path, int64_t bytes) {
    NQBase::NQFileLog logger(path);
    benchsupport::XorShift64 random;
    int64_t lines = 0;
    char text[256];
    for (int64_t written = 0; written < bytes; ++lines) {
        const uint64_t r = random.next();
        const int level = r % 12 == 0 ? NQBase::NQLOG_ERROR : (r % 12 < 3 ? NQBase::NQLOG_DEBUG : NQBase::NQLOG_INFO);
        const int n = std::snprintf(text, sizeof text, "%s %s %" PRIu64 " %s=%u %s from 10.0.%u.%u:%u took %u ms (%s)",
                                    kWords[r >> 8 & 15], kWords[r >> 12 & 15], lines, kWords[r >> 16 & 15],
                                    static_cast<unsigned>(r >> 20 & 0xFFFF), kWords[r >> 36 & 15],
                                    static_cast<unsigned>(r >> 40 & 255), static_cast<unsigned>(r >> 48 & 255),
                                    static_cast<unsigned>(1024 + (r >> 28 & 0x3FFF)), static_cast<unsigned>(r >> 56),
                                    kWords[random.next() & 15]);
        logger.write(level, kModules[r >> 4 & 7], std::string(text, static_cast<size_t>(n)));
        written += 24 + 6 + 3 + static_cast<int64_t>(std::strlen(kModules[r >> 4 & 7])) + n + 1;
    }
    return lines;
}

struct Limit {
    double wall = 0;
    double cpu = 0;
    int64_t compressedBytes = 0;
    int64_t errorBytes = 0;
};

// zlib_compress level 6 over the pieces the collectors make of the same text.
Limit compressAlone(const std::string& text) {
    std::string errors;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        const size_t stop = end == std::string::npos ? text.size() : end + 1;
        if (NQBase::parseLogLineLevel(text.data() + start, stop - start) >= NQBase::NQLOG_ERROR)
            errors.append(text, start, stop - start);
        start = stop;
    }
    Limit limit;
    limit.errorBytes = static_cast<int64_t>(errors.size());
    const Clock::time_point begin = Clock::now();
    const double cpu0 = threadCpuSeconds();
    auto compress = [&limit](const char* data, size_t size) {
        NQBase::NQByteArray out;
        if (NQBase::zlib_compress(NQBase::NQByteArray::fromRawData(data, static_cast<int>(size)), out, 6) == 0)
            limit.compressedBytes += out.size();
    };
    compress(errors.data(), errors.size());
    for (size_t start = 0; start < text.size();) {
        size_t length = text.size() - start;
        const size_t cut = start + static_cast<size_t>(NQBase::kDetailPieceMin);
        if (cut < text.size()) {
            const void* feed = std::memchr(text.data() + cut, '\n', text.size() - cut);
            if (feed != nullptr) length = static_cast<size_t>(static_cast<const char*>(feed) - (text.data() + start)) + 1;
        }
        compress(text.data() + start, length);
        start += length;
    }
    limit.cpu = threadCpuSeconds() - cpu0;
    limit.wall = seconds(Clock::now() - begin);
    return limit;
}

// The server's lines "... reportX from ...: stored ... (C -> I bytes)".
void serverBytes(const std::string& output, const char* cmdType, int64_t& compressed, int64_t& inflated) {
    compressed = inflated = 0;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (line.find(cmdType) == std::string::npos || line.find(": stored ") == std::string::npos) continue;
        const size_t open = line.rfind('(');
        long long c = 0, i = 0;
        if (open != std::string::npos && std::sscanf(line.c_str() + open, "(%lld -> %lld bytes)", &c, &i) == 2) {
            compressed += c;
            inflated += i;
        }
    }
}

// Commands the server logged as stored.
int64_t storedCommands(const std::string& output) {
    int64_t n = 0;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
        if (line.find(": stored ") != std::string::npos) ++n;
    return n;
}

// User and system CPU of a running process, from /proc/<pid>/stat; both -1
// when it cannot be read.
struct ProcessCpu {
    double user = -1;
    double system = -1;
    double total() const { return user + system; }
};
ProcessCpu processCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {static_cast<double>(utime) / tick, static_cast<double>(stime) / tick};
}

std::map<std::string, std::vector<double>> gFigures;

void BM_Road(benchmark::State& state) {
    const int64_t bytes = state.range(0) << 20;
    for (auto _ : state) {
        const std::string dir = (fs::temp_directory_path() / ("road_bench." + std::to_string(getpid()))).string();
        fs::remove_all(dir);
        fs::create_directories(dir + "/client");
        const std::string logPath = dir + "/client/client.log";

        const Clock::time_point writeBegin = Clock::now();
        const double writeCpu0 = threadCpuSeconds();
        const int64_t lines = writeLog(logPath, bytes);
        const double writeCpu = threadCpuSeconds() - writeCpu0;
        const double writeWall = seconds(Clock::now() - writeBegin);
        const std::string text = readAll(logPath);
        const Limit limit = compressAlone(text);

        const int port = testsupport::freeLoopbackPort();
        const char* keptStore = std::getenv("ROAD_BENCH_STORE");
        const char* serverBin = std::getenv("ROAD_BENCH_SERVER");
        testsupport::ServerProcess server(serverBin ? serverBin : LOGREPORT_SERVER_BIN,
                                          keptStore ? std::string(keptStore) : dir + "/store", port, {"--no-sync"});
        if (!server.start()) {
            state.SkipWithError("the log server did not start");
            break;
        }
        const std::string servers = "127.0.0.1:" + std::to_string(port) + ";127.0.0.1:" + std::to_string(port);
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            state.SkipWithError("pipe");
            break;
        }
        const std::string clientDir = dir + "/client";  // the child must not allocate
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], 1);
            execl(gSelf.c_str(), gSelf.c_str(), "--road-client", clientDir.c_str(), servers.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        std::string childOut;
        char buf[256];
        for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) childOut.append(buf, static_cast<size_t>(n));
        close(pipeFds[0]);
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        const ProcessCpu serverUsage = processCpu(server.pid());
        const double serverCpu = serverUsage.total();
        server.stop();

        double clientWall = -1, workCpu = -1;  // a client of an older build prints no cpu
        long peakKiB = 0;
        const size_t at = childOut.find("road-client wall ");
        if (at != std::string::npos)
            std::sscanf(childOut.c_str() + at, "road-client wall %lf peak %ld cpu %lf", &clientWall, &peakKiB, &workCpu);
        int64_t detailWire = 0, detailInflated = 0, errorWire = 0, errorInflated = 0;
        serverBytes(server.output(), "reportDetail", detailWire, detailInflated);
        serverBytes(server.output(), "reportLog", errorWire, errorInflated);
        fs::remove_all(dir);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || clientWall < 0) {
            state.SkipWithError("the client did not drain its backlog");
            break;
        }
        if (detailInflated != static_cast<int64_t>(text.size()) || errorInflated < limit.errorBytes) {
            state.SkipWithError("the server did not get every byte of the log");
            break;
        }
        const double clientCpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
        const double rssMiB = static_cast<double>(peakKiB) / 1024.0;
        const double wireMB = static_cast<double>(detailWire + errorWire) / 1e6;
        state.SetIterationTime(clientWall);
        state.counters["lines"] = static_cast<double>(lines);
        state.counters["log_MB"] = static_cast<double>(text.size()) / 1e6;
        state.counters["client_wall_s"] = clientWall;
        state.counters["client_cpu_s"] = clientCpu;
        state.counters["peak_rss_MiB"] = rssMiB;
        state.counters["wire_MB"] = wireMB;
        state.counters["limit_wall_s"] = limit.wall;
        state.counters["limit_cpu_s"] = limit.cpu;
        state.counters["cpu_over_limit"] = clientCpu / limit.cpu;
        if (workCpu >= 0) {
            state.counters["client_work_cpu_s"] = workCpu;
            state.counters["work_cpu_over_limit"] = workCpu / limit.cpu;
            gFigures["client work cpu s"].push_back(workCpu);
            gFigures["work cpu / limit cpu"].push_back(workCpu / limit.cpu);
        }
        state.counters["wall_over_limit"] = clientWall / limit.wall;
        state.counters["write_wall_s"] = writeWall;
        state.counters["write_cpu_s"] = writeCpu;
        const double commands = static_cast<double>(storedCommands(server.output()));
        state.counters["server_cpu_s"] = serverCpu;
        // Split, since the kernel's share moves with what earlier runs left on the disk.
        state.counters["server_user_s"] = serverUsage.user;
        state.counters["server_sys_s"] = serverUsage.system;
        state.counters["server_cpu_ms_per_cmd"] = commands > 0 ? serverCpu * 1e3 / commands : 0;
        gFigures["server cpu s"].push_back(serverCpu);
        gFigures["server cpu ms/cmd"].push_back(commands > 0 ? serverCpu * 1e3 / commands : 0);
        for (const auto& [key, value] :
             std::map<std::string, double>{{"client wall s", clientWall}, {"client cpu s", clientCpu},
                                           {"peak rss MiB", rssMiB}, {"wire MB", wireMB},
                                           {"limit wall s", limit.wall}, {"limit cpu s", limit.cpu},
                                           {"cpu / limit cpu", clientCpu / limit.cpu},
                                           {"wall / limit wall", clientWall / limit.wall},
                                           {"log MB", static_cast<double>(text.size()) / 1e6},
                                           {"lines", static_cast<double>(lines)},
                                           {"limit MB out", static_cast<double>(limit.compressedBytes) / 1e6},
                                           {"write wall s", writeWall}, {"write cpu s", writeCpu}})
            gFigures[key].push_back(value);
    }
}

BENCHMARK(BM_Road)->Name("Road/100MB")->Arg(100)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--road-client") == 0) return runClient(argv[2], argv[3]);
    // The log alone, for running the client under a profiler:
    //   road_bench --road-log DIR MB; then road_bench --road-client DIR 127.0.0.1:PORT
    if (argc == 4 && std::strcmp(argv[1], "--road-log") == 0) {
        fs::create_directories(argv[2]);
        const int64_t lines = writeLog(std::string(argv[2]) + "/client.log", std::atoll(argv[3]) << 20);
        std::printf("%" PRId64 " lines\n", lines);
        return 0;
    }
    gSelf = fs::canonical("/proc/self/exe").string();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    std::printf("\nSummary (median over %zu runs)\n", gFigures["client wall s"].size());
    for (const auto& [key, values] : gFigures) std::printf("  %-18s %10.3f\n", key.c_str(), median(values));
    benchmark::Shutdown();
    return 0;
}
