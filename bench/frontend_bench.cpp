// Client-thread cost of one exported setter call, against a plain
// mutex + condition-variable hand-off of a heap message to a thread, in the
// same run. "Idle": each call is timed alone and the consumer drains before the
// next; "asleep": the same, with a pause before each call long enough for the
// consumer to have gone to sleep; "burst": calls back to back, amortised. Also Init's own duration.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NQCommon.h"
#include "NQLogReport.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int64_t> handled{0};

void countingSink() {
    NQBase::NQSetLogSink([](int, const std::string&, const std::string& text) {
        if (text.compare(0, 9, "setLocIP:") == 0) handled.fetch_add(1, std::memory_order_release);
    });
}

void waitHandled(int64_t target) {
    while (handled.load(std::memory_order_acquire) < target) std::this_thread::yield();
}

// The baseline: one queue, one consumer thread, heap messages.
class RawHandOff {
public:
    RawHandOff() : consumer_([this] { run(); }) {}
    ~RawHandOff() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_one();
        consumer_.join();
    }
    void post(const std::string& value) {
        auto msg = std::make_unique<std::string>(value);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(msg));
        }
        cv_.notify_one();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            auto msg = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            benchmark::DoNotOptimize(msg->size());
            handled.fetch_add(1, std::memory_order_release);
            lock.lock();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::unique_ptr<std::string>> queue_;
    bool stop_ = false;
    std::thread consumer_;
};

void reportPercentiles(benchmark::State& state, std::vector<double>& ns) {
    if (ns.empty()) return;
    std::sort(ns.begin(), ns.end());
    state.counters["median_ns"] = ns[ns.size() / 2];
    state.counters["p99_ns"] = ns[std::min(ns.size() - 1, ns.size() * 99 / 100)];
}

// Long enough for either consumer to have gone to sleep, so that every timed
// call pays for waking it: the loop watches an emptied queue for 20 µs first.
constexpr auto kAsleepPause = std::chrono::microseconds(200);

template <class Post>
void idleCalls(benchmark::State& state, Post post, bool pauseFirst = false) {
    std::vector<double> ns;
    for (auto _ : state) {
        if (pauseFirst) std::this_thread::sleep_for(kAsleepPause);
        const int64_t target = handled.load() + 1;
        const auto begin = Clock::now();
        post();
        const auto end = Clock::now();
        const double elapsed = std::chrono::duration<double, std::nano>(end - begin).count();
        state.SetIterationTime(elapsed * 1e-9);
        ns.push_back(elapsed);
        waitHandled(target);
    }
    reportPercentiles(state, ns);
}

template <class Post>
void burstCalls(benchmark::State& state, Post post) {
    constexpr int kBurst = 256;
    std::vector<double> ns;
    for (auto _ : state) {
        const int64_t target = handled.load() + kBurst;
        const auto begin = Clock::now();
        for (int i = 0; i < kBurst; ++i) post();
        const auto end = Clock::now();
        const double elapsed = std::chrono::duration<double, std::nano>(end - begin).count();
        state.SetIterationTime(elapsed * 1e-9 / kBurst);
        ns.push_back(elapsed / kBurst);
        waitHandled(target);
    }
    reportPercentiles(state, ns);
}

void BM_SetLocIP_Idle(benchmark::State& state) {
    countingSink();
    NQBase::NQLogReport report;
    report.Init("bench", "1.0", "PC", 1000, 0);
    idleCalls(state, [&] { report.setLocIP("10.0.0.8"); });
    report.Uninit();
}

void BM_RawHandOff_Idle(benchmark::State& state) {
    RawHandOff raw;
    idleCalls(state, [&] { raw.post("10.0.0.8"); });
}

void BM_SetLocIP_Asleep(benchmark::State& state) {
    countingSink();
    NQBase::NQLogReport report;
    report.Init("bench", "1.0", "PC", 1000, 0);
    idleCalls(state, [&] { report.setLocIP("10.0.0.8"); }, true);
    report.Uninit();
}

void BM_RawHandOff_Asleep(benchmark::State& state) {
    RawHandOff raw;
    idleCalls(state, [&] { raw.post("10.0.0.8"); }, true);
}

void BM_SetLocIP_Burst(benchmark::State& state) {
    countingSink();
    NQBase::NQLogReport report;
    report.Init("bench", "1.0", "PC", 1000, 0);
    burstCalls(state, [&] { report.setLocIP("10.0.0.8"); });
    report.Uninit();
}

void BM_RawHandOff_Burst(benchmark::State& state) {
    RawHandOff raw;
    burstCalls(state, [&] { raw.post("10.0.0.8"); });
}

void BM_Init(benchmark::State& state) {
    NQBase::NQSetLogSink([](int, const std::string&, const std::string&) {});
    std::vector<double> ns;
    for (auto _ : state) {
        NQBase::NQLogReport report;
        const auto begin = Clock::now();
        report.Init("bench", "1.0", "PC", 1000, 0);
        const auto end = Clock::now();
        const double elapsed = std::chrono::duration<double, std::nano>(end - begin).count();
        state.SetIterationTime(elapsed * 1e-9);
        ns.push_back(elapsed);
        report.Uninit();
    }
    reportPercentiles(state, ns);
}

}  // namespace

BENCHMARK(BM_SetLocIP_Idle)->UseManualTime()->Iterations(20000);
BENCHMARK(BM_RawHandOff_Idle)->UseManualTime()->Iterations(20000);
BENCHMARK(BM_SetLocIP_Asleep)->UseManualTime()->Iterations(5000);
BENCHMARK(BM_RawHandOff_Asleep)->UseManualTime()->Iterations(5000);
BENCHMARK(BM_SetLocIP_Burst)->UseManualTime()->Iterations(200);
BENCHMARK(BM_RawHandOff_Burst)->UseManualTime()->Iterations(200);
BENCHMARK(BM_Init)->UseManualTime()->Iterations(50);

BENCHMARK_MAIN();
