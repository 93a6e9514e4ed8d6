#include "NQCommon.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "NQClock.h"
#include "NQTime.h"

namespace NQBase {

namespace {

std::atomic<int> gInitCount{0};

// The replaceable sink. Calls are made without the lock, on a shared copy;
// NQSetLogSink waits until no call of the replaced sink is still running, so a
// sink that captures an object may be replaced just before that object dies.
struct SinkState {
    std::mutex mutex;
    std::shared_ptr<const NQLogSink> sink;
};

SinkState& sinkState() {
    static SinkState* state = new SinkState;  // never destroyed: threads may log during exit
    return *state;
}

// Depth of sink calls on this thread: a sink that replaces the sink must not wait for itself.
thread_local int tlsSinkDepth = 0;

const char* levelName(int level) {
    switch (level) {
    case 1: return "INFO";
    case 2: return "WARN";
    case 3: return "ERROR";
    default: return level < 1 ? "DEBUG" : "FATAL";
    }
}

void writeDefaultLine(int level, const std::string& module, const std::string& text) {
    int64_t ms = NQClock::wallMs();
    int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    int millis = static_cast<int>(ms - seconds * 1000);
    std::string line = FormatTimeStr(seconds, true);
    char fraction[8];
    std::snprintf(fraction, sizeof(fraction), ".%03d ", millis);
    line += fraction;
    line += levelName(level);
    line += " [";
    line += module;
    line += "] ";
    line += text;
    line += '\n';
    // One write per line, so lines from several threads do not interleave.
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string formatText(const char* fmt, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof(small), fmt, copy);
    va_end(copy);
    if (n < 0) return std::string(fmt);
    if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), fmt, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

}  // namespace

void InitNQCommon() { gInitCount.fetch_add(1); }

void UninitNQCommon() {
    int count = gInitCount.load();
    while (count > 0 && !gInitCount.compare_exchange_weak(count, count - 1)) {
    }
}

void mSleep(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void NQSDKCommonLog(int level, const char* module, const char* fmt, ...) {
    if (fmt == nullptr) return;
    va_list args;
    va_start(args, fmt);
    std::string text = formatText(fmt, args);
    va_end(args);
    std::string moduleName = module != nullptr ? module : "";

    std::shared_ptr<const NQLogSink> sink;
    {
        std::lock_guard<std::mutex> lock(sinkState().mutex);
        sink = sinkState().sink;
    }
    ++tlsSinkDepth;
    try {
        if (sink) (*sink)(level, moduleName, text);
        else writeDefaultLine(level, moduleName, text);
    } catch (...) {
        // A failing sink loses its line; the caller carries on.
    }
    --tlsSinkDepth;
}

void NQSetLogSink(NQLogSink sink) {
    std::shared_ptr<const NQLogSink> old;
    {
        std::lock_guard<std::mutex> lock(sinkState().mutex);
        old = std::move(sinkState().sink);
        if (sink) sinkState().sink = std::make_shared<const NQLogSink>(std::move(sink));
    }
    if (!old || tlsSinkDepth > 0) return;
    // Calls of the old sink hold copies; wait until they have returned.
    while (old.use_count() > 1) std::this_thread::yield();
}

}  // namespace NQBase
