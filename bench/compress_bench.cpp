// zlib against libdeflate on what the library compresses: client log text in
// pieces of 60 KiB at level 6. zlib_compress uses the faster one.
//
//   cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release -DLOGREPORT_BENCH=ON -DLOGREPORT_TESTS=OFF
//   cmake --build build-rel --target compress_bench
//   build-rel/bench/compress_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "NQByteArray.h"
#include "NQCompress.h"
#include "detail/compressBackends.h"
#include "support/clientLogText.h"

namespace {

constexpr int kPieceBytes = 60 * 1024;
constexpr int kPieces = 64;  // about 3.8 MiB, more than the caches hold
constexpr int kLevel = 6;

const std::vector<NQBase::NQByteArray>& pieces() {
    static const std::vector<NQBase::NQByteArray> all = [] {
        std::string text = benchsupport::clientLogText(static_cast<size_t>(kPieceBytes) * kPieces);
        text.resize(static_cast<size_t>(kPieceBytes) * kPieces);
        std::vector<NQBase::NQByteArray> split;
        for (int i = 0; i < kPieces; ++i) split.emplace_back(text.data() + static_cast<size_t>(i) * kPieceBytes, kPieceBytes);
        return split;
    }();
    return all;
}

using Compressor = int (*)(const NQBase::NQByteArray&, NQBase::NQByteArray&, int);

void compressPieces(benchmark::State& state, Compressor compress) {
    const auto& input = pieces();
    NQBase::NQByteArray out;
    int64_t inBytes = 0;
    int64_t outBytes = 0;
    size_t next = 0;
    for (auto _ : state) {
        const NQBase::NQByteArray& piece = input[next];
        next = (next + 1) % input.size();
        if (compress(piece, out, kLevel) != 0) {
            state.SkipWithError("compression failed");
            break;
        }
        benchmark::DoNotOptimize(out.constData());
        inBytes += piece.size();
        outBytes += out.size();
    }
    state.SetBytesProcessed(inBytes);
    state.counters["ratio"] = outBytes > 0 ? static_cast<double>(inBytes) / static_cast<double>(outBytes) : 0.0;
}

void BM_Level6_60KiB_zlib(benchmark::State& state) { compressPieces(state, &NQBase::detail::zlibBackendCompress); }
void BM_Level6_60KiB_libdeflate(benchmark::State& state) {
    compressPieces(state, &NQBase::detail::libdeflateBackendCompress);
}
void BM_Level6_60KiB_zlib_compress(benchmark::State& state) {
    state.SetLabel(NQBase::zlib_compressorName());
    compressPieces(state, &NQBase::zlib_compress);
}

}  // namespace

BENCHMARK(BM_Level6_60KiB_zlib);
BENCHMARK(BM_Level6_60KiB_libdeflate);
BENCHMARK(BM_Level6_60KiB_zlib_compress);

BENCHMARK_MAIN();
