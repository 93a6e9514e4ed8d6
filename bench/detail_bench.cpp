// Detail-log collection against the raw compressor on the same text: from the
// logger's hand-out to compressed segments queued in a report file on disk,
// next to zlib_compress alone on the same pieces. The collector's own cost is
// the gap between the two.
//
//   cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release -DLOGREPORT_BENCH=ON -DLOGREPORT_TESTS=OFF
//   cmake --build build-rel --target detail_bench
//   build-rel/bench/detail_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "NQCommon.h"
#include "NQCompress.h"
#include "collect/logCollector.h"
#include "store/logRptFile.h"

namespace {

constexpr size_t kTextBytes = 8u << 20;

class Lcg {
public:
    uint32_t next() {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state_ >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }

private:
    uint64_t state_ = 0xd37a11;
};

// A running client log: timestamps that climb, levels, modules, message
// templates with ids from small recurring pools, hex handles and measurements.
std::string detailLogText(size_t bytes) {
    static const char* const kLevels[] = {"INFO", "INFO", "INFO", "DEBUG", "WARN", "ERROR"};
    static const char* const kModules[] = {"media", "net", "ui", "LogReport", "audio", "video", "conf"};
    Lcg rng;
    std::string text;
    text.reserve(bytes + 512);
    int64_t ms = 1709467200000;
    char line[512];
    while (text.size() < bytes) {
        ms += rng.below(40);
        const int64_t s = ms / 1000;
        const char* level = kLevels[rng.below(6)];
        const char* module = kModules[rng.below(7)];
        const uint32_t user = 10000 + rng.below(32);
        int n = 0;
        switch (rng.below(4)) {
        case 0:
            n = std::snprintf(line, sizeof line, "send packet seq=%u size=%u to user %u handle=0x%08X",
                              rng.next() & 0xFFFF, 200 + rng.below(1200), user, 0x7F000000u + rng.below(64) * 16);
            break;
        case 1:
            n = std::snprintf(line, sizeof line, "jitter %u ms, loss %u.%02u%%, rtt %u ms (stream %u)", rng.below(80),
                              rng.below(5), rng.below(100), 20 + rng.below(300), rng.below(8));
            break;
        case 2:
            n = std::snprintf(line, sizeof line, "member %u joined conference %u as \"user-%u\"", user,
                              900000 + rng.below(4), user);
            break;
        default:
            n = std::snprintf(line, sizeof line, "decode frame %ux%u took %u us, queue depth %u", 320 * (1 + rng.below(4)),
                              180 * (1 + rng.below(4)), 500 + rng.below(20000), rng.below(12));
            break;
        }
        char head[96];
        const int h = std::snprintf(head, sizeof head, "%02d:%02d:%02d.%03d [%5u] %-5s [%s] ", int(s / 3600 % 24),
                                    int(s / 60 % 60), int(s % 60), int(ms % 1000), 1000 + rng.below(16), level, module);
        text.append(head, static_cast<size_t>(h));
        text.append(line, static_cast<size_t>(n));
        text.push_back('\n');
    }
    return text;
}

const std::string& benchText() {
    static const std::string text = detailLogText(kTextBytes);
    return text;
}

// Hands out a text prepared beforehand (outside the timed part), as a logger
// would after a busy minute; the cost of producing it is the logger's.
class PreparedLog : public NQBase::NQLog {
public:
    explicit PreparedLog(std::string path) : path_(std::move(path)) {}
    void prepare() { next_ = benchText(); }
    void GetInitData(NQBase::LogInitData& data) override { data.logFilePath = path_; }
    bool GetLogFileDat(int type, std::string& out, bool) override {
        out.clear();
        if (type == 2) out.swap(next_);
        return !out.empty();
    }

private:
    std::string path_;
    std::string next_;
};

std::string makeTempDir() {
    std::string tmpl = "/tmp/detail-bench-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) std::abort();
    return tmpl;
}

void BM_DetailCollectToReportFile(benchmark::State& state) {
    NQBase::NQSetLogSink([](int, const std::string&, const std::string&) {});
    const std::string dir = makeTempDir();
    PreparedLog log(dir + "/client.log");
    {
        NQBase::clientIdentity identity{"client", "5.2.1", "PC-7", "", 0, "alice", ""};
        NQBase::logRptFile file;
        NQBase::logCollector collector(identity, file);
        file.open_rptFile(log);
        file.load_logHeader();
        log.prepare();
        for (auto _ : state) {
            collector.collect_detailLog(&log);
            state.PauseTiming();
            file.reset_rptFile();
            log.prepare();
            state.ResumeTiming();
        }
    }
    std::filesystem::remove_all(dir);
    NQBase::NQSetLogSink(nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(benchText().size()));
    state.SetLabel(NQBase::zlib_compressorName());
}

// The same pieces the collector cuts, compressed and thrown away.
void BM_RawCompressSamePieces(benchmark::State& state) {
    const std::string& text = benchText();
    std::vector<std::pair<size_t, size_t>> pieces;
    for (size_t start = 0; start < text.size();) {
        const size_t cut = start + static_cast<size_t>(NQBase::kDetailPieceMin);
        const void* feed = cut < text.size() ? std::memchr(text.data() + cut, '\n', text.size() - cut) : nullptr;
        const size_t end = feed != nullptr ? static_cast<size_t>(static_cast<const char*>(feed) - text.data()) + 1
                                           : text.size();
        pieces.emplace_back(start, end - start);
        start = end;
    }
    for (auto _ : state) {
        for (const auto& piece : pieces) {
            NQBase::NQByteArray out;
            const NQBase::NQByteArray in =
                NQBase::NQByteArray::fromRawData(text.data() + piece.first, static_cast<int>(piece.second));
            benchmark::DoNotOptimize(NQBase::zlib_compress(in, out, 6));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.SetLabel(NQBase::zlib_compressorName());
}

}  // namespace

BENCHMARK(BM_DetailCollectToReportFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RawCompressSamePieces)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
