// Commands per second that one and two log servers store (fsync on), with the
// shared PostgreSQL index off and on, and the latency of each command
// (p50/p99). Four client threads, each with its own connection and one
// command outstanding, send 10 KiB error logs; thread i talks to server
// i % servers. Every server and the private PostgreSQL run on 127.0.0.1.
//
// The baseline is 1 server without the index, measured in the same run. On a
// 2-core machine two servers share the cores and the disk with the clients,
// so the second server shows what a fleet costs here rather than what it adds.
#include <benchmark/benchmark.h>

#include <Ice/Ice.h>
#include <LogServer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "NQCompress.h"
#include "../tests/support/serverProcess.cpp"

namespace {

constexpr int kClients = 4;
constexpr int kCommandsPerClient = 150;
const char kHeader[] = "--------------------\nversion:1.0;client:PC-B;clientIP:10.0.0.1;module:m;conferenceID:7;termID:0;\n";

std::string payload() {
    std::string text(kHeader);
    uint64_t x = 0x9E3779B97F4A7C15ULL;
    while (text.size() < 10 * 1024) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        text.push_back(static_cast<char>('a' + (x >> 59)));
    }
    NQBase::NQByteArray out;
    NQBase::zlib_compress(NQBase::NQByteArray(text), out, 6);
    return out.toStdString();
}

std::string makeTempDir() {
    char tmpl[] = "/tmp/logreport-fleetbench-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    ::chmod(dir.c_str(), 0711);
    return dir;
}

int sh(const std::string& cmd) { return std::system(cmd.c_str()); }

void BM_Fleet(benchmark::State& state) {
    const int servers = static_cast<int>(state.range(0));
    const bool indexDb = state.range(1) != 0;
    const std::string dir = makeTempDir();
    const std::string pgScript = std::string(LOGREPORT_SOURCE_DIR) + "/scripts/private-pg.sh";
    std::string conninfo;
    if (indexDb) {
        const int pgPort = testsupport::freeLoopbackPort();
        if (sh("bash " + pgScript + " start " + dir + "/pg " + std::to_string(pgPort)) != 0) {
            state.SkipWithError("no private PostgreSQL");
            return;
        }
        conninfo = "host=127.0.0.1 port=" + std::to_string(pgPort) + " user=logreport dbname=postgres";
    }
    std::vector<std::unique_ptr<testsupport::ServerProcess>> procs;
    for (int s = 0; s < servers; ++s) {
        // Every command carries the same bytes: store each one all the same.
        std::vector<std::string> args = {"--node", "b" + std::to_string(s), "--dedupe-window", "0"};
        if (indexDb) args.insert(args.end(), {"--index-db", conninfo});
        procs.push_back(std::make_unique<testsupport::ServerProcess>(
            LOGREPORT_SERVER_BIN, dir + "/store" + std::to_string(s), testsupport::freeLoopbackPort(), args));
        procs.back()->start();
    }
    const std::string data = payload();
    Ice::CommunicatorHolder ice(Ice::initialize());
    std::vector<double> latencies;
    for (auto _ : state) {
        std::vector<std::vector<double>> perClient(kClients);
        auto begin = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        for (int c = 0; c < kClients; ++c) {
            threads.emplace_back([&, c] {
                // A connection of its own per client, as each desktop has.
                auto prx = Ice::uncheckedCast<Log::ClientLogServerPrx>(
                    ice.communicator()
                        ->stringToProxy("Log.ClientLogServer:tcp -h 127.0.0.1 -p " +
                                        std::to_string(procs[c % servers]->port()))
                        ->ice_connectionId("c" + std::to_string(c)));
                Ice::ByteSeq bytes(data.begin(), data.end());
                for (int i = 0; i < kCommandsPerClient; ++i) {
                    auto t0 = std::chrono::steady_clock::now();
                    prx->sendCmd(11047, "", bytes, Ice::Context{{"TermID", "0"}, {"cmdType", "reportLog"}});
                    perClient[c].push_back(
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
                }
            });
        }
        for (auto& t : threads) t.join();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
        for (auto& v : perClient) latencies.insert(latencies.end(), v.begin(), v.end());
    }
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) { return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(p * (latencies.size() - 1))]; };
    state.counters["cmds_per_s"] =
        benchmark::Counter(static_cast<double>(kClients * kCommandsPerClient), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["p50_ms"] = pct(0.50);
    state.counters["p99_ms"] = pct(0.99);
    for (auto& p : procs) p->stop();
    if (indexDb) sh("bash " + pgScript + " stop " + dir + "/pg");
    std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_Fleet)->Name("Fleet/1server/index-off")->Args({1, 0})->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fleet)->Name("Fleet/2servers/index-off")->Args({2, 0})->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fleet)->Name("Fleet/1server/index-on")->Args({1, 1})->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fleet)->Name("Fleet/2servers/index-on")->Args({2, 1})->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
