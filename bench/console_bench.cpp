// The console's index over a store of 1,000,000 index lines (a generator
// writes them; files only for the log page), beside its baseline: the
// query tool's way, a scan of every index line (logquery::readStore-style
// parse and match), in the same run.
//
//   build-bench/bench/console_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// The same searches through the console's PostgreSQL index (PgIndex::search,
// what the HTTP API calls with --index-db) run over the same lines, copied
// into logreport_index of a private PostgreSQL (scripts/private-pg.sh), after
// PgIndex::open has made its trigram indexes; skipped, with a message, where
// PostgreSQL's server binaries or libpqxx are missing.
// CONSOLE_BENCH_LINES=N changes the number of lines (default 1000000). The
// store and its index (0.7 GB) are removed at exit unless CONSOLE_BENCH_KEEP=1
// (to run bench/console_load.py against a console over them; the folder is
// printed).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "embeddedIndex.h"
#ifdef LOGREPORT_BENCH_PG
#include <pqxx/pqxx>

#include <tuple>

#include "pgIndex.h"
#include "pgIndexShipper.h"
#include "privatePostgres.h"
#endif
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


#ifdef LOGREPORT_BENCH_PG
// The private PostgreSQL with the store's lines in logreport_index, the
// console's PgIndex open over it; skip says why there is none.
struct PgBench {
    std::string dir;
    std::unique_ptr<consolefixture::PrivatePostgres> db;
    std::unique_ptr<console::PgIndex> index;
    std::string skip;
    double copySeconds = 0;
    double openSeconds = 0;
    int64_t rows = 0;
    ~PgBench() {
        index.reset();
        db.reset();  // stops the server before its folder goes
        const char* keep = std::getenv("CONSOLE_BENCH_KEEP");
        if (dir.empty() || (keep && std::string(keep) == "1")) return;
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

PgBench& pg() {
    static PgBench p;
    static const bool ready = [] {
        if (!consolefixture::PrivatePostgres::available()) {
            p.skip = "PostgreSQL server binaries not found (/usr/lib/postgresql/*/bin, postgresql-15)";
            return false;
        }
        auto& b = store();
        char tmpl[] = "/tmp/console_bench_pg_XXXXXX";
        p.dir = ::mkdtemp(tmpl);
        ::chmod(p.dir.c_str(), 0711);  // the server runs as another account when this runs as root
        p.db = std::make_unique<consolefixture::PrivatePostgres>(p.dir + "/pg");
        if (!p.db->start()) {
            p.skip = "the private PostgreSQL did not start (" + p.dir + "/pg/server.log)";
            return false;
        }
        try {
            pqxx::connection c(p.db->conninfo());
            {
                pqxx::nontransaction tx(c);
                tx.exec(logserver::PgIndexShipper::createTableSql());
            }
            // The store's index lines, as the shipper turns them into rows,
            // in one COPY.
            const auto t0 = std::chrono::steady_clock::now();
            pqxx::work tx(c);
            pqxx::stream_to rows(tx, logserver::PgIndexShipper::tableName(),
                                 std::vector<std::string>{"node", "seq", "time", "cmd_id", "cmd_type", "pcid", "nickname",
                                                          "conference", "org", "peer", "json", "compressed_size",
                                                          "inflated_size", "path", "rejected"});
            for (const auto& day : console::StoreSet::indexDays({b.dir + "/store", ""})) {
                std::ifstream in(b.dir + "/store/index/" + day + ".jsonl");
                for (std::string line; std::getline(in, line);) {
                    logserver::IndexRecord r;
                    if (!logserver::parseIndexLine(line, r)) continue;
                    rows << std::make_tuple(r.node, static_cast<long long>(r.seq), r.time, r.cmdId, r.cmdType, r.pcid,
                                            r.nickname, r.conference, r.org, r.peer, r.json,
                                            static_cast<long long>(r.compressedSize),
                                            static_cast<long long>(r.inflatedSize), r.path, r.rejected);
                    ++p.rows;
                }
            }
            rows.complete();
            tx.commit();
            p.copySeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        } catch (const std::exception& e) {
            p.skip = std::string("filling logreport_index: ") + e.what();
            return false;
        }
        // The console's own start: its trigram and other indexes made here.
        p.index = std::make_unique<console::PgIndex>();
        ::mkdir((p.dir + "/state").c_str(), 0700);
        std::string error;
        const auto t0 = std::chrono::steady_clock::now();
        if (!p.index->open(p.db->conninfo(), p.dir + "/state", error)) {
            p.skip = "PgIndex::open: " + error;
            return false;
        }
        p.openSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!p.index->setupNote().empty()) {
            p.skip = p.index->setupNote();
            return false;
        }
        try {
            // What autovacuum does on a live table after the rows arrive.
            pqxx::connection c(p.db->conninfo());
            pqxx::nontransaction tx(c);
            tx.exec("ANALYZE logreport_index");
        } catch (const std::exception& e) {
            p.skip = std::string("ANALYZE: ") + e.what();
            return false;
        }
        console::SearchIndex::RefreshStats stats;
        if (!p.index->refresh(*b.stores, nullptr, stats, error)) {  // finds the store folder of node-a
            p.skip = "PgIndex::refresh: " + error;
            return false;
        }
        return true;
    }();
    if (!ready && !p.skip.empty()) {
        static const bool said = (std::fprintf(stderr, "console_bench: PostgreSQL cases skipped: %s\n", p.skip.c_str()), true);
        (void)said;
    }
    return p;
}
#endif

void searchIn(benchmark::State& state, console::SearchIndex& index, const std::string& meeting,
              const std::string& client) {
    int64_t i = 0;
    int64_t found = 0;
    std::vector<double> millis;  // each search's own time, for its percentiles
    for (auto _ : state) {
        console::SearchQuery q;
        q.limit = 50;
        if (!meeting.empty()) q.meeting = std::to_string(100000 + (i * 31) % kMeetings);
        if (!client.empty()) q.client = client == "exact" ? clientName(static_cast<int>((i * 31) % kClients))
                                                          : std::to_string(100000 + (i * 31) % kClients);
        console::SearchResult r;
        std::string error;
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = index.search(q, everyOrg(), r, error);
        millis.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        if (!ok) {
            state.SkipWithError(error.c_str());
            break;
        }
        found += static_cast<int64_t>(r.items.size());
        benchmark::DoNotOptimize(r);
        ++i;
    }
    // Every query names values the store holds: an empty answer is a fault.
    if (i > 0 && found == 0) state.SkipWithError("the searches found nothing");
    if (!millis.empty()) {
        std::sort(millis.begin(), millis.end());
        const auto at = [&millis](double q) {
            return millis[std::min(millis.size() - 1, static_cast<size_t>(q * static_cast<double>(millis.size())))];
        };
        state.counters["p50_ms"] = at(0.50);
        state.counters["p95_ms"] = at(0.95);
        state.counters["searches"] = static_cast<double>(millis.size());
    }
}

void search(benchmark::State& state, const std::string& meeting, const std::string& client) {
    auto& b = store();
    searchIn(state, *b.index, meeting, client);
    state.counters["build_s"] = b.buildSeconds;
    state.counters["build_cpu_s"] = b.buildCpuSeconds;
    state.counters["lines"] = static_cast<double>(b.lines);
}

void pgSearch(benchmark::State& state, const std::string& meeting, const std::string& client) {
#ifdef LOGREPORT_BENCH_PG
    auto& p = pg();
    if (!p.index) {
        state.SkipWithError(("PostgreSQL cases skipped: " + p.skip).c_str());
        for (auto _ : state) {
        }
        return;
    }
    searchIn(state, *p.index, meeting, client);
    state.counters["copy_s"] = p.copySeconds;
    state.counters["indexes_s"] = p.openSeconds;
    state.counters["rows"] = static_cast<double>(p.rows);
#else
    (void)meeting;
    (void)client;
    state.SkipWithError("PostgreSQL cases skipped: built without libpqxx");
    for (auto _ : state) {
    }
#endif
}

void BM_PgSearchByMeeting(benchmark::State& state) { pgSearch(state, "yes", ""); }
void BM_PgSearchByClientSubstring(benchmark::State& state) { pgSearch(state, "", "substring"); }
void BM_PgSearchByClientName(benchmark::State& state) { pgSearch(state, "", "exact"); }

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
BENCHMARK(BM_PgSearchByMeeting)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PgSearchByClientSubstring)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PgSearchByClientName)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineScanByMeeting)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_RefreshAfter100Arrivals)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LogFirstPageOf1GiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
