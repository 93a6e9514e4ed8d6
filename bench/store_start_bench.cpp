// The server's start on a store that has run for 100 days, 100,000 commands
// a day (10,000,000 index lines and meta records; a generator writes them,
// with real error-log bytes for one command in 1,000): the time from
// starting the server until its first command is answered, and the
// server's RSS then. Every iteration starts the real server on the same
// store and stops it; the store is generated once and kept under
// /tmp/store_start_bench/ for the next run (delete it to start over).
//
//   build-bench/bench/store_start_bench --benchmark_repetitions=5
// STORE_BENCH_DAYS and STORE_BENCH_PER_DAY change the size (defaults 100
// and 100000). The newest day is today, and its commands carry receipts, so
// the server rebuilds its re-send window from a full day at start.
// There is no build-before figure: the earlier layout read one index file
// whole at start (404 ms for a 1 GiB index, measured then), so its server
// does not read this store at all.
#include <benchmark/benchmark.h>

#include <Ice/Ice.h>
#include <LogServer.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "storeWriter.h"

// The launcher the tests use for the reference server, compiled in here.
#include "../tests/support/serverProcess.cpp"

#ifndef LOGREPORT_SERVER_BIN
#error "LOGREPORT_SERVER_BIN must name the reference log server"
#endif

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// One command in this many gets real bytes in its error log.
constexpr int kSampleEvery = 1000;
constexpr int kClients = 20000;

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

std::string dayBefore(int daysAgo) {
    const std::time_t t = std::time(nullptr) - static_cast<std::time_t>(daysAgo) * 86400;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

std::string receiptOf(uint64_t n) {
    char buf[65];
    std::snprintf(buf, sizeof buf, "%016llx%016llx%016llx%016llx", static_cast<unsigned long long>(n), 0x5eedull,
                  static_cast<unsigned long long>(n * 2654435761u), 0x10ull);
    return buf;
}

// Writes the store unless a complete one of this size is there already.
std::string generatedStore(int days, int perDay, double& seconds) {
    const std::string dir = "/tmp/store_start_bench/" + std::to_string(days) + "x" + std::to_string(perDay);
    const std::string done = dir + "/complete";
    seconds = 0;
    if (fs::exists(done)) return dir + "/store";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const auto t0 = Clock::now();
    consolefixture::StoreWriter w(dir + "/store", "n1");
    const std::string sample(4096, 'x');
    uint64_t n = 0;
    for (int d = days - 1; d >= 0; --d) {
        const std::string day = dayBefore(d);
        for (int i = 0; i < perDay; ++i, ++n) {
            consolefixture::Upload u;
            const int second = static_cast<int>(static_cast<int64_t>(i) * 86400 / perDay);
            char time[32];
            std::snprintf(time, sizeof time, "%sT%02d:%02d:%02d.000Z", day.c_str(), second / 3600, second / 60 % 60,
                          second % 60);
            u.time = time;
            u.client = "PC-" + std::to_string(100000 + (n * 7919) % kClients) + "-WS";
            if (i % kSampleEvery == 0) w.errorLog(u, "--------------------\nclient:" + u.client + ";\n" + sample);
            else w.bufferedLine(u, d == 0 ? receiptOf(n) : std::string());
        }
    }
    w.flushBuffered();
    seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::ofstream(done) << n << "\n";
    return dir + "/store";
}

long statusKb(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
    return -1;
}

std::string compressed(const std::string& text) {
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(text.data()),
              static_cast<uLong>(text.size()), 6);
    out.resize(size);
    return out;
}

void BM_FirstCommandAfterStart(benchmark::State& state) {
    const int days = envInt("STORE_BENCH_DAYS", 100);
    const int perDay = envInt("STORE_BENCH_PER_DAY", 100000);
    double generateSeconds = 0;
    const std::string store = generatedStore(days, perDay, generateSeconds);
    const std::string body = compressed("--------------------\nclient:PC-bench-WS;\nfirst command after start\n");
    const Ice::ByteSeq data(body.begin(), body.end());
    Ice::InitializationData init;
    init.properties = Ice::createProperties();
    Ice::CommunicatorHolder ice(init);
    double rssMb = 0, hwmMb = 0;
    for (auto _ : state) {
        testsupport::ServerProcess server(LOGREPORT_SERVER_BIN, store, testsupport::freeLoopbackPort());
        const auto t0 = Clock::now();
        if (!server.start()) {
            state.SkipWithError(("server did not start: " + server.output()).c_str());
            return;
        }
        auto prx = Ice::uncheckedCast<Log::ClientLogServerPrx>(
            ice->stringToProxy("Log.ClientLogServer:tcp -h 127.0.0.1 -p " + std::to_string(server.port()))
                ->ice_invocationTimeout(30000));
        try {
            prx->sendCmd(11047, "", data, Ice::Context{{"cmdType", "reportLog"}});
        } catch (const Ice::Exception& e) {
            state.SkipWithError(e.what());
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        rssMb = statusKb(server.pid(), "VmRSS:") / 1024.0;
        hwmMb = statusKb(server.pid(), "VmHWM:") / 1024.0;
        server.stop();
    }
    state.counters["rss_mb"] = rssMb;
    state.counters["peak_rss_mb"] = hwmMb;
    state.counters["index_lines"] = static_cast<double>(days) * perDay;
    if (generateSeconds > 0) state.counters["generate_s"] = generateSeconds;
}

}  // namespace

BENCHMARK(BM_FirstCommandAfterStart)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
