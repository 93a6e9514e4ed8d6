// The console's index over a store of 1,000,000 index lines (a generator
// writes them; files only for the log page), beside its baseline: the
// query tool's way, a scan of every index line (logquery::readStore-style
// parse and match), in the same run.
//
//   build-bench/bench/console_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// CONSOLE_BENCH_LINES=N changes the number of lines (default 1000000). The
// store and its index (0.7 GB) are removed at exit unless CONSOLE_BENCH_KEEP=1
// (to run bench/console_load.py against a console over them; the folder is
// printed).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

#include "embeddedIndex.h"
#include "indexRecord.h"
#include "logPager.h"
#include "queryFilter.h"
#include "storeWriter.h"

namespace {

struct BenchStore {
    std::string dir;
    std::unique_ptr<console::StoreSet> stores;
    std::unique_ptr<console::EmbeddedIndex> index;
    std::string logFile;
    double buildSeconds = 0;
    double buildCpuSeconds = 0;
    int64_t lines = 0;
};

constexpr int kClients = 20000;
constexpr int kMeetings = 50000;

std::string clientName(int i) { return "PC-" + std::to_string(100000 + i) + "-WS"; }

BenchStore& store() {
    static BenchStore s = [] {
        BenchStore b;
        const char* n = std::getenv("CONSOLE_BENCH_LINES");
        b.lines = n ? std::atoll(n) : 1000000;
        char tmpl[] = "/tmp/console_bench_XXXXXX";
        b.dir = ::mkdtemp(tmpl);
        consolefixture::StoreWriter w(b.dir + "/store", "node-a");
        const char* kinds[] = {"reportLog", "reportDetail", "reportDump", "reportUser"};
        // 1,000,000 lines over 30 days.
        for (int64_t i = 0; i < b.lines; ++i) {
            consolefixture::Upload u;
            const int64_t second = i * 30 * 86400 / b.lines;
            char time[32];
            std::snprintf(time, sizeof time, "2026-11-%02dT%02d:%02d:%02d.000Z", static_cast<int>(1 + second / 86400),
                          static_cast<int>(second / 3600 % 24), static_cast<int>(second / 60 % 60),
                          static_cast<int>(second % 60));
            u.time = time;
            u.client = clientName(static_cast<int>((i * 7919) % kClients));
            u.meeting = std::to_string(100000 + (i * 104729) % kMeetings);
            u.nickname = "user" + std::to_string((i * 7919) % kClients);
            w.indexOnly(u, kinds[i % 4]);
        }
        // A 1 GiB log: real lines at its start, the rest a hole.
        b.logFile = b.dir + "/big.log";
        {
            std::ofstream out(b.logFile, std::ios::binary);
            for (int i = 0; i < 200000; ++i) out << "2026-11-01 08:00:00 [audio] INFO frame " << i << (i % 97 ? "\n" : " ERROR\n");
        }
        if (::truncate(b.logFile.c_str(), 1024ll * 1024 * 1024) != 0) std::abort();
        b.stores = std::make_unique<console::StoreSet>(std::vector<std::string>{b.dir + "/store"});
        b.index = std::make_unique<console::EmbeddedIndex>();
        std::string error;
        ::mkdir((b.dir + "/state").c_str(), 0700);
        if (!b.index->open(b.dir + "/state", error)) std::abort();
        console::EmbeddedIndex::RefreshStats stats;
        const std::clock_t c0 = std::clock();
        const auto t0 = std::chrono::steady_clock::now();
        if (!b.index->refresh(*b.stores, nullptr, stats, error)) std::abort();
        b.buildSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        b.buildCpuSeconds = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
        return b;
    }();
    static const struct RemoveAtExit {
        std::string dir;
        ~RemoveAtExit() {
            const char* keep = std::getenv("CONSOLE_BENCH_KEEP");
            if (keep && std::string(keep) == "1") {
                std::fprintf(stderr, "console_bench: kept %s\n", dir.c_str());
                return;
            }
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } removal{s.dir};
    return s;
}

console::OrgScope everyOrg() {
    console::OrgScope s;
    s.all = true;
    return s;
}

void search(benchmark::State& state, const std::string& meeting, const std::string& client) {
    auto& b = store();
    int64_t i = 0;
    for (auto _ : state) {
        console::SearchQuery q;
        q.limit = 50;
        if (!meeting.empty()) q.meeting = std::to_string(100000 + (i * 31) % kMeetings);
        if (!client.empty()) q.client = client == "exact" ? clientName(static_cast<int>((i * 31) % kClients))
                                                          : std::to_string(100000 + (i * 31) % kClients);
        console::SearchResult r;
        std::string error;
        if (!b.index->search(q, everyOrg(), r, error)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(r);
        ++i;
    }
    state.counters["build_s"] = b.buildSeconds;
    state.counters["build_cpu_s"] = b.buildCpuSeconds;
    state.counters["lines"] = static_cast<double>(b.lines);
}

void BM_EmbeddedSearchByMeeting(benchmark::State& state) { search(state, "yes", ""); }
void BM_EmbeddedSearchByClientSubstring(benchmark::State& state) { search(state, "", "substring"); }
void BM_EmbeddedSearchByClientName(benchmark::State& state) { search(state, "", "exact"); }

// Baseline: what logreport-query does, every index line parsed and matched.
void BM_BaselineScanByMeeting(benchmark::State& state) {
    auto& b = store();
    for (auto _ : state) {
        logquery::Filter f;
        f.conference = "100031";
        int64_t hits = 0;
        for (const auto& day : console::StoreSet::indexDays({b.dir + "/store", ""})) {
            std::ifstream in(b.dir + "/store/index/" + day + ".jsonl");
            for (std::string line; std::getline(in, line);) {
                logserver::IndexRecord r;
                if (logserver::parseIndexLine(line, r) && logquery::matches(f, r)) ++hits;
            }
        }
        benchmark::DoNotOptimize(hits);
    }
}

// How long new lines take to become searchable: a refresh after 100 arrivals.
void BM_RefreshAfter100Arrivals(benchmark::State& state) {
    auto& b = store();
    consolefixture::StoreWriter w(b.dir + "/store", "node-a", 50000000);
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 100; ++i) {
            consolefixture::Upload u;
            u.time = "2026-11-30T23:59:59.000Z";
            u.client = "PC-NEW";
            u.meeting = "1";
            w.indexOnly(u, "reportDump");
        }
        state.ResumeTiming();
        console::EmbeddedIndex::RefreshStats stats;
        std::string error;
        if (!b.index->refresh(*b.stores, nullptr, stats, error)) state.SkipWithError(error.c_str());
    }
}

void BM_LogFirstPageOf1GiB(benchmark::State& state) {
    auto& b = store();
    for (auto _ : state) {
        console::LogPageRequest req;
        req.end = 1024ull * 1024 * 1024;
        req.limit = 1000;
        req.firstNumber = 1;
        console::LogPage page;
        if (!console::LogPager::readPage(b.logFile, req, page)) state.SkipWithError("unreadable");
        benchmark::DoNotOptimize(page);
    }
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    state.counters["maxrss_MB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
}

BENCHMARK(BM_EmbeddedSearchByMeeting)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmbeddedSearchByClientSubstring)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmbeddedSearchByClientName)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineScanByMeeting)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_RefreshAfter100Arrivals)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LogFirstPageOf1GiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
