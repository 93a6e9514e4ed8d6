// The reference log server under load: 50 clients, each on its own Ice
// connection, send 200 detail-log commands of 10 KiB each (one outstanding
// per client, as the library does), against a fresh store, with and without
// --no-sync. One iteration is the whole run of 10,000 commands; counters:
// commands_per_s, p50_ms and p99_ms (per-command latency at the client) and
// peak_rss_mb (the server's VmHWM at the end of the run).
// With LOGREPORT_BASELINE_SERVER naming the server of an earlier build, the
// same runs are made against it too, interleaved in one process:
//   LOGREPORT_BASELINE_SERVER=/path/to/logreport-server load_bench
//     --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
// (one command line).
// LOAD_BENCH_DISPATCH=N gives both servers N dispatch threads (Ice's server
// thread pool) instead of their default.
#include <benchmark/benchmark.h>

#include <Ice/Ice.h>
#include <LogServer.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

// The launcher the tests use for the reference server, compiled in here.
#include "../tests/support/serverProcess.cpp"

#ifndef LOGREPORT_SERVER_BIN
#error "LOGREPORT_SERVER_BIN must name the reference log server"
#endif

namespace {

constexpr int kClients = 50;
constexpr int kCommandsPerClient = 200;
constexpr size_t kCommandBytes = 10 * 1024;

using Clock = std::chrono::steady_clock;

// 10 KiB of log-like text with enough variety that it deflates to about a
// third, as real detail logs do.
std::string payload(int client, int n) {
    std::mt19937 rng(static_cast<unsigned>(client * 100003 + n));
    static const char* words[] = {"connect", "room", "audio", "video", "frame", "drop", "retry", "ok", "timeout", "user"};
    std::string text;
    while (text.size() < kCommandBytes) {
        text += "2026-12-06 12:00:" + std::to_string(rng() % 60) + " c" + std::to_string(client) + " ";
        for (int w = 0; w < 8; ++w) text += std::string(words[rng() % 10]) + " " + std::to_string(rng() % 100000) + " ";
        text += "\n";
    }
    text.resize(kCommandBytes);
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(text.data()),
              static_cast<uLong>(text.size()), 6);
    out.resize(size);
    return out;
}

long peakRssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

void runLoad(benchmark::State& state, const std::string& serverBin, bool noSync) {
    const std::string dir = std::filesystem::temp_directory_path() / ("load_bench." + std::to_string(::getpid()));
    std::vector<std::vector<Ice::ByteSeq>> data(kClients);
    for (int k = 0; k < kClients; ++k)
        for (int n = 0; n < kCommandsPerClient; ++n) {
            const std::string p = payload(k, n);
            data[k].emplace_back(p.begin(), p.end());
        }
    Ice::InitializationData init;
    init.properties = Ice::createProperties();
    init.properties->setProperty("Ice.ThreadPool.Client.Size", "4");
    Ice::CommunicatorHolder ice(init);
    std::vector<double> latencies;
    double seconds = 0, rssMb = 0;
    for (auto _ : state) {
        std::filesystem::remove_all(dir);
        std::vector<std::string> args;
        if (noSync) args.push_back("--no-sync");
        if (const char* dispatch = std::getenv("LOAD_BENCH_DISPATCH")) {
            args.push_back("--Ice.ThreadPool.Server.Size=4");
            args.push_back(std::string("--Ice.ThreadPool.Server.SizeMax=") + dispatch);
        }
        testsupport::ServerProcess server(serverBin, dir + "/store", testsupport::freeLoopbackPort(), args);
        if (!server.start()) {
            state.SkipWithError("server did not start");
            return;
        }
        const std::string proxy = "Log.ClientLogServer:tcp -h 127.0.0.1 -p " + std::to_string(server.port());
        std::vector<std::vector<double>> perClient(kClients);
        std::vector<std::thread> clients;
        std::atomic<int> failures{0};
        const auto begin = Clock::now();
        for (int k = 0; k < kClients; ++k) {
            clients.emplace_back([&, k] {
                auto prx = Ice::uncheckedCast<Log::ClientLogServerPrx>(
                    ice->stringToProxy(proxy)->ice_invocationTimeout(60000)->ice_connectionId("c" + std::to_string(k)));
                const std::string json = "{\"confId\":1,\"filename\":\"load/c" + std::to_string(k) + ".log\"}";
                for (int n = 0; n < kCommandsPerClient; ++n) {
                    const auto t0 = Clock::now();
                    try {
                        prx->sendCmd(11048, json, data[k][n], Ice::Context{{"cmdType", "reportDetail"}});
                    } catch (const Ice::Exception&) {
                        ++failures;
                    }
                    perClient[k].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                }
            });
        }
        for (auto& t : clients) t.join();
        seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        rssMb = peakRssKb(server.pid()) / 1024.0;
        server.stop();
        if (failures > 0) state.SkipWithError("commands failed");
        latencies.clear();
        for (auto& v : perClient) latencies.insert(latencies.end(), v.begin(), v.end());
        state.SetIterationTime(seconds);
    }
    std::filesystem::remove_all(dir);
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) { return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(p * (latencies.size() - 1))]; };
    state.counters["commands_per_s"] = kClients * kCommandsPerClient / seconds;
    state.counters["p50_ms"] = pct(0.50);
    state.counters["p99_ms"] = pct(0.99);
    state.counters["peak_rss_mb"] = rssMb;
}

void registerLoad(const std::string& suffix, const std::string& serverBin) {
    for (bool noSync : {false, true}) {
        benchmark::RegisterBenchmark((std::string(noSync ? "Load/NoSync" : "Load/Sync") + suffix).c_str(),
                                     [serverBin, noSync](benchmark::State& state) { runLoad(state, serverBin, noSync); })
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kSecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerLoad("", LOGREPORT_SERVER_BIN);
    if (const char* baseline = std::getenv("LOGREPORT_BASELINE_SERVER")) registerLoad("/before", baseline);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
