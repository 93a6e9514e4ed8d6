// The runtime's clock and the manual scheduler that stands in for asio timers
// while the clock is manual.
#include "NQClock.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "detail/runtimeCore.h"

namespace NQBase {

namespace {

int64_t realSteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t realWallMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// How long advance waits for one tick to be handled before it gives up on it
// (a receiver blocked for good must not hang a test run).
constexpr auto kTickHandledLimit = std::chrono::seconds(30);

struct ManualEntry {
    int64_t due;
    uint64_t seq;  // start order, kept when a repeating timer is re-armed
    std::shared_ptr<detail::TimerCore> timer;
    uint64_t generation;
};

struct ClockState {
    std::atomic<bool> manual{false};
    std::atomic<int64_t> steady{0};
    std::atomic<int64_t> wall{0};

    std::mutex mutex;                  // guards entries and nextSeq
    std::vector<ManualEntry> entries;
    uint64_t nextSeq = 0;

    std::mutex advanceMutex;           // one advance at a time
};

ClockState& clockState() {
    static ClockState* state = new ClockState;  // never destroyed: timers may stop during exit
    return *state;
}

// Moves both manual clocks to `to` if that is ahead. Called with clockState().mutex held.
void moveManualTo(ClockState& c, int64_t to) {
    int64_t delta = to - c.steady.load();
    if (delta <= 0) return;
    c.steady.fetch_add(delta);
    c.wall.fetch_add(delta);
}

// Signals a waiter once the closure holding it is gone: run, or destroyed unrun
// because its loop ended.
struct TickHandled {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
};

// Posts one tick to the timer's loop and waits until it has been handled.
void fireAndWait(const std::shared_ptr<detail::TimerCore>& timer, uint64_t generation,
                 const std::shared_ptr<detail::LoopCore>& loop) {
    auto handled = std::make_shared<TickHandled>();
    std::shared_ptr<void> notifier(nullptr, [handled](void*) {
        {
            std::lock_guard<std::mutex> lock(handled->mutex);
            handled->done = true;
        }
        handled->cv.notify_all();
    });
    bool posted = loop->post([timer, generation, notifier] { detail::deliverTimerTick(timer, generation); });
    notifier.reset();
    if (!posted || loop->onLoopThread()) return;  // waiting on our own loop would never end
    std::unique_lock<std::mutex> lock(handled->mutex);
    if (!handled->cv.wait_for(lock, kTickHandledLimit, [&] { return handled->done; })) {
        lock.unlock();
        NQSDKCommonLog(2, detail::kRuntimeModule, "NQClock::advance: tick of timer %d not handled in time", timer->id);
    }
}

}  // namespace

namespace detail {

void manualSchedule(const std::shared_ptr<TimerCore>& timer, uint64_t generation, int intervalMs) {
    ClockState& c = clockState();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.entries.push_back({c.steady.load() + intervalMs, c.nextSeq++, timer, generation});
}

void manualUnschedule(const TimerCore* timer) {
    ClockState& c = clockState();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.entries.erase(std::remove_if(c.entries.begin(), c.entries.end(),
                                   [timer](const ManualEntry& e) { return e.timer.get() == timer; }),
                    c.entries.end());
}

}  // namespace detail

namespace NQClock {

int64_t steadyMs() { return clockState().manual.load() ? clockState().steady.load() : realSteadyMs(); }

int64_t wallMs() { return clockState().manual.load() ? clockState().wall.load() : realWallMs(); }

void useManual(int64_t wallStartMs) {
    ClockState& c = clockState();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.manual.load()) c.steady.store(realSteadyMs());  // stays monotonic across the switch
    c.wall.store(wallStartMs);
    c.manual.store(true);
}

void useReal() {
    ClockState& c = clockState();
    std::vector<ManualEntry> dropped;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        c.manual.store(false);
        dropped.swap(c.entries);
    }
    for (const ManualEntry& e : dropped) {
        std::lock_guard<std::mutex> lock(e.timer->mutex);
        if (e.timer->generation == e.generation) e.timer->active = false;
    }
}

bool isManual() { return clockState().manual.load(); }

void advance(int64_t ms) {
    ClockState& c = clockState();
    if (!c.manual.load() || ms < 0) return;
    std::lock_guard<std::mutex> advancing(c.advanceMutex);
    const int64_t target = c.steady.load() + ms;
    for (;;) {
        ManualEntry next;
        {
            std::lock_guard<std::mutex> lock(c.mutex);
            auto earliest = c.entries.end();
            for (auto it = c.entries.begin(); it != c.entries.end(); ++it) {
                if (it->due > target) continue;
                if (earliest == c.entries.end() || it->due < earliest->due ||
                    (it->due == earliest->due && it->seq < earliest->seq)) {
                    earliest = it;
                }
            }
            if (earliest == c.entries.end()) break;
            next = std::move(*earliest);
            c.entries.erase(earliest);
            moveManualTo(c, next.due);
        }
        std::shared_ptr<detail::LoopCore> loop;
        {
            std::lock_guard<std::mutex> lock(next.timer->mutex);
            if (next.timer->generation != next.generation || !next.timer->active) continue;
            loop = next.timer->loop.lock();
            if (next.timer->singleShot) {
                next.timer->active = false;
            } else {
                // Re-armed from the due time, not from when the tick was handled.
                std::lock_guard<std::mutex> lock2(c.mutex);
                c.entries.push_back({next.due + std::max(1, next.timer->intervalMs), next.seq, next.timer,
                                     next.generation});
            }
        }
        if (loop) fireAndWait(next.timer, next.generation, loop);
    }
    std::lock_guard<std::mutex> lock(c.mutex);
    moveManualTo(c, target);
}

void setWallMs(int64_t wallMs) {
    ClockState& c = clockState();
    if (c.manual.load()) c.wall.store(wallMs);
}

}  // namespace NQClock
}  // namespace NQBase
