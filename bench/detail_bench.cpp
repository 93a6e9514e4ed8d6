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
#include "support/clientLogText.h"

namespace {

constexpr size_t kTextBytes = 8u << 20;

const std::string& benchText() {
    static const std::string text = benchsupport::clientLogText(kTextBytes);
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
