// Timers: asio::steady_timer on the receiver's io_context in real time, the
// manual scheduler of NQClock.cpp while the clock is manual. Either way a tick
// reaches the receiver on its loop and is checked there against the timer's
// generation, so a restart or stop also drops ticks already queued.
#include "NQTimer.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "NQClock.h"
#include "detail/runtimeCore.h"

namespace NQBase {

namespace {

using detail::LoopCore;
using detail::ObjCore;
using detail::TimerCore;

int nextTimerId() {
    static std::atomic<int> last{0};
    return last.fetch_add(1) + 1;
}

// Cancels the real-time schedule, if any. Called with timer.mutex held. The loop
// is locked first: while it is held the io_context, and so the steady_timer,
// cannot be destroyed under us.
void cancelRealLocked(TimerCore& timer) {
    std::shared_ptr<LoopCore> loop = timer.loop.lock();
    if (loop) {
        if (std::shared_ptr<asio::steady_timer> t = timer.asioTimer.lock()) t->cancel();
    }
    timer.asioTimer.reset();
}

// Ends the current schedule. Called with timer.mutex held; returns the slot so
// that the caller releases it after unlocking.
std::shared_ptr<NQMsgFuncBase> endScheduleLocked(TimerCore& timer) {
    ++timer.generation;
    timer.active = false;
    cancelRealLocked(timer);
    detail::manualUnschedule(&timer);
    return std::move(timer.slot);
}

// The completion of one real-time wait; runs on the receiver's loop.
struct RealTick {
    std::shared_ptr<TimerCore> timer;
    std::shared_ptr<asio::steady_timer> asioTimer;
    uint64_t generation;

    void operator()(const asio::error_code& ec) const {
        if (ec) return;  // cancelled
        {
            std::lock_guard<std::mutex> lock(timer->mutex);
            if (timer->generation != generation || !timer->active) return;
            if (timer->singleShot) {
                timer->active = false;
                timer->asioTimer.reset();
            } else {
                rearmLocked();
            }
        }
        detail::deliverTimerTick(timer, generation);
    }

    // Next due time is the previous one plus the interval (no drift); due times
    // already missed while the loop was busy are skipped, not fired in a burst.
    void rearmLocked() const {
        const auto interval = std::chrono::milliseconds(std::max(1, timer->intervalMs));
        auto next = asioTimer->expiry() + interval;
        const auto now = asio::steady_timer::clock_type::now();
        if (next <= now) next += ((now - next) / interval + 1) * interval;
        asioTimer->expires_at(next);
        asioTimer->async_wait(RealTick{timer, asioTimer, generation});
    }
};

}  // namespace

void detail::deliverTimerTick(const std::shared_ptr<TimerCore>& timer, uint64_t generation) {
    std::shared_ptr<NQMsgFuncBase> slot;
    std::shared_ptr<ObjCore> receiver;
    bool hasReceiver;
    {
        std::lock_guard<std::mutex> lock(timer->mutex);
        if (timer->generation != generation) return;  // restarted or stopped since
        slot = timer->slot;
        receiver = timer->receiver.lock();
        hasReceiver = timer->hasReceiver;
    }
    if (hasReceiver && (!receiver || !receiver->alive.load())) return;
    if (slot) {
        invokeGuarded("timer slot", [&] { slot->call(); });
    } else if (receiver) {
        invokeGuarded("timerMsg", [&] { receiver->obj->timerMsg(timer->id); });
    }
}

NQTimer::NQTimer(const std::string& name) : name_(name), core_(std::make_shared<TimerCore>(nextTimerId())) {}

NQTimer::~NQTimer() { stop(); }

void NQTimer::setSingleShot(bool singleShot) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->singleShot = singleShot;
}

void NQTimer::start(int intervalMs, NQMsgObj* receiver, NQMsgFuncBase* slot) {
    std::shared_ptr<NQMsgFuncBase> ownedSlot(slot);
    std::shared_ptr<LoopCore> loop = receiver != nullptr ? receiver->core()->loop() : detail::currentLoop();
    std::shared_ptr<NQMsgFuncBase> oldSlot;
    std::lock_guard<std::mutex> lock(core_->mutex);
    oldSlot = endScheduleLocked(*core_);  // released after the lock (declared before it)
    if (!loop || !loop->accepting.load()) {
        NQSDKCommonLog(2, detail::kRuntimeModule, "NQTimer %s: receiver has no event loop; not started", name_.c_str());
        return;  // the new slot is freed with the old one, after the lock
    }
    const uint64_t generation = core_->generation;
    core_->active = true;
    core_->intervalMs = std::max(0, intervalMs);
    core_->hasReceiver = receiver != nullptr;
    core_->receiver = receiver != nullptr ? receiver->core() : nullptr;
    core_->slot = std::move(ownedSlot);
    core_->loop = loop;
    if (NQClock::isManual()) {
        detail::manualSchedule(core_, generation, core_->intervalMs);
        return;
    }
    auto t = std::make_shared<asio::steady_timer>(loop->io, std::chrono::milliseconds(core_->intervalMs));
    core_->asioTimer = t;
    t->async_wait(RealTick{core_, t, generation});
}

void NQTimer::stop() {
    std::shared_ptr<NQMsgFuncBase> oldSlot;
    std::lock_guard<std::mutex> lock(core_->mutex);
    oldSlot = endScheduleLocked(*core_);
}

bool NQTimer::isActive() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->active;
}

int NQTimer::getTimerID() const { return core_->id; }

}  // namespace NQBase
