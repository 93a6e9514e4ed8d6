// Append throughput of 60 KiB segments through save_logSegment, beside a raw
// loop that appends the same bytes (segment header + record) to a file and
// flushes after each: the store's own cost is the difference.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "NQClock.h"
#include "NQCommon.h"
#include "store/logRptFile.h"

namespace {

using namespace NQBase;

constexpr int kPayloadBytes = 60 * 1024;
constexpr int kAppendsPerReset = 1000;  // ~60 MiB, then the file starts over

class BenchLog : public NQLog {
public:
    explicit BenchLog(std::string path) : path_(std::move(path)) {}
    void GetInitData(LogInitData& data) override { data.logFilePath = path_; }
    bool GetLogFileDat(int, std::string&, bool) override { return false; }

private:
    std::string path_;
};

std::string benchDir() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "logreport_append_bench";
    std::filesystem::create_directories(dir);
    return dir.string() + "/";
}

errLogInfo sixtyKiB() {
    errLogInfo record;
    std::string bytes(kPayloadBytes, '\0');
    for (int i = 0; i < kPayloadBytes; ++i) bytes[i] = static_cast<char>(i * 131 + (i >> 7));
    record.data = NQByteArray(bytes);
    return record;
}

std::string segmentBytes(const errLogInfo& record) {
    std::ostringstream out;
    logSegment seg;
    seg.length = kLogSegmentSize + 4 + kPayloadBytes;
    seg.write(out);
    record.write(out);
    return out.str();
}

void BM_SaveLogSegment(benchmark::State& state) {
    NQSetLogSink([](int, const std::string&, const std::string&) {});  // the line per append is not the subject
    BenchLog log(benchDir() + "store.log");
    logRptFile worker;
    worker.open_rptFile(log);
    worker.reset_rptFile();
    const errLogInfo record = sixtyKiB();
    int appended = 0;
    for (auto _ : state) {
        if (worker.save_logSegment(segErrLog, record) != storeStatus::ok) state.SkipWithError("append refused");
        if (++appended == kAppendsPerReset) {
            state.PauseTiming();
            worker.reset_rptFile();
            appended = 0;
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(state.iterations() * (kLogSegmentSize + 4 + kPayloadBytes));
    NQSetLogSink(nullptr);
}

void BM_RawAppendAndFlush(benchmark::State& state) {
    const std::string path = benchDir() + "raw.bin";
    const std::string bytes = segmentBytes(sixtyKiB());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    int appended = 0;
    for (auto _ : state) {
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (++appended == kAppendsPerReset) {
            state.PauseTiming();
            out.close();
            out.open(path, std::ios::binary | std::ios::trunc);
            appended = 0;
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

}  // namespace

BENCHMARK(BM_SaveLogSegment);
BENCHMARK(BM_RawAppendAndFlush);

BENCHMARK_MAIN();
