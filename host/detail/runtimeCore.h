// Internal state of the messaging runtime, shared by NQThread.cpp, NQMsgObj.cpp,
// NQTimer.cpp and NQClock.cpp. Not installed.
//
// Ownership:
//  - LoopCore: owned by its NQThread (shared); posters lock a weak reference for
//    the duration of one post. Queued closures never hold a LoopCore, so the
//    work queue and the io_context, and with them every closure still queued,
//    are destroyed with the NQThread.
//  - ObjCore: owned by its NQMsgObj; queued deliveries hold it (shared) so they
//    can test `alive` after the object is gone.
//  - Binding: shared by the sender's `outgoing` and the receiver's `incoming`
//    lists and by queued emissions; owns the slot object.
//  - TimerCore: owned by its NQTimer; queued ticks and asio waits hold it.
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "NQCommon.h"
#include "NQMsgObj.h"
#include "detail/workQueue.h"

namespace NQBase {
namespace detail {

// Module name of the runtime's own log lines.
inline constexpr const char* kRuntimeModule = "NQCommon";

// A stack of free storage shared by every thread, for what one thread
// allocates and another frees (messages, queued closures). Any thread pushes
// without a lock; takers are serialised among themselves only and take the
// whole stack at once into their own list, so a pop never races another pop
// (no ABA) and the freeing thread never waits for the allocating one. T links
// through its member `poolNext`.
//
// The stack holds about `limit` entries; past that, push refuses and the caller
// frees as usual. Only pushers count, and a taker restarts the count when it
// takes the stack, so no counter is written by both sides for every item (that
// line would travel between the two cores with each message). Pushes racing a
// take are counted against the next stack, which only makes it smaller.
template <class T>
class FreeStack {
public:
    explicit FreeStack(int limit) : limit_(limit) {}
    FreeStack(const FreeStack&) = delete;
    FreeStack& operator=(const FreeStack&) = delete;

    bool push(T* item) {
        if (pushed_.fetch_add(1, std::memory_order_relaxed) >= limit_) {
            pushed_.fetch_sub(1, std::memory_order_relaxed);
            return false;
        }
        T* head = head_.load(std::memory_order_relaxed);
        do {
            item->poolNext = head;
        } while (!head_.compare_exchange_weak(head, item, std::memory_order_release, std::memory_order_relaxed));
        return true;
    }

    T* pop() {
        std::lock_guard<std::mutex> lock(takers_);
        if (taken_ == nullptr && head_.load(std::memory_order_relaxed) != nullptr) {
            pushed_.store(0, std::memory_order_relaxed);
            taken_ = head_.exchange(nullptr, std::memory_order_acquire);
        }
        T* item = taken_;
        if (item == nullptr) return nullptr;
        taken_ = item->poolNext;
        return item;
    }

private:
    const int limit_;
    // Pushers' fields and takers' fields on lines of their own: in a burst one
    // thread pushes and another takes, each for every item.
    alignas(kCacheLine) std::atomic<T*> head_{nullptr};
    std::atomic<int> pushed_{0};  // pushes since the last take (an upper bound on the stack)
    alignas(kCacheLine) std::mutex takers_;
    T* taken_ = nullptr;  // guarded by takers_
};

// One event loop: the io_context run by one NQThread.
struct LoopCore : std::enable_shared_from_this<LoopCore> {
    explicit LoopCore(std::string loopName) : name(std::move(loopName)) {}
    LoopCore(const LoopCore&) = delete;
    LoopCore& operator=(const LoopCore&) = delete;

    // Queues fn for the loop. False (fn destroyed unrun) when the loop is not
    // running: before initRun or after run() has returned. Any thread.
    template <class F>
    bool post(F&& fn) {
        if (!accepting.load(std::memory_order_acquire)) return false;
        enqueue(std::forward<F>(fn));
        return true;
    }
    // Queues fn whether or not the loop runs yet; what run() never reaches is
    // destroyed unrun with the loop. Calls queued here run in the order they
    // were queued, whichever thread queued them. Any thread.
    template <class F>
    void enqueue(F&& fn) {
        using Fn = std::decay_t<F>;
        work.push(new QueuedFn<Fn>(Fn(std::forward<F>(fn))));
        // Only the post that finds the queue idle wakes the loop; the others
        // leave their item to the drain already on its way.
        if (pending.fetch_add(1, std::memory_order_acq_rel) == 0) scheduleDrain();
    }
    // Loop thread: runs queued calls, a bounded batch at a time so that timers
    // and connections are served between batches.
    void drain();
    bool onLoopThread() const { return thread.load(std::memory_order_acquire) == std::this_thread::get_id(); }

    const std::string name;
    asio::io_context io{1};
    WorkQueue work;
    // Items queued and not yet taken by drain(); the post that raises it from 0
    // schedules a drain, and a drain that leaves it above 0 schedules the next.
    alignas(kCacheLine) std::atomic<int64_t> pending{0};
    std::atomic<bool> accepting{false};
    std::atomic<std::thread::id> thread{};
    std::atomic<NQMsgObj*> boundObj{nullptr};
    std::atomic<int> exitCode{0};
    bool stopRequested = false;  // set by the closure NQThread::stop queues; loop thread only

    // Thread state for NQThread::wait.
    std::mutex stateMutex;
    std::condition_variable stateCv;
    bool started = false;   // initRun done
    bool finished = false;  // uninitRun done
    std::mutex joinMutex;

    // Loop thread only. Work a handler asked to run once it has returned
    // (runAfterHandler), and how deep the loop is in handler calls.
    int handlerDepth = 0;
    std::vector<std::function<void()>> afterHandler;

private:
    void scheduleDrain() {
        asio::post(io, [this] { drain(); });
    }
};

// The loop of the NQThread running on the calling thread (set by initRun), or null.
std::shared_ptr<LoopCore> currentLoop();
// The same without taking a reference: valid while the calling thread runs its loop.
LoopCore* thisThreadLoop() noexcept;
// Runs and clears loop->afterHandler, each call guarded like a handler.
void runAfterHandlerWork(LoopCore* loop) noexcept;

// Runs user code (a handler, slot or timer call) so that an exception cannot
// escape into the event loop: it is logged and the loop carries on. Work the
// call asked to run after itself runs as it returns, before the loop dispatches
// anything else.
template <class F>
void invokeGuarded(const char* what, F&& f) noexcept {
    LoopCore* loop = thisThreadLoop();
    if (loop != nullptr) ++loop->handlerDepth;
    try {
        std::forward<F>(f)();
    } catch (const std::exception& e) {
        NQSDKCommonLog(3, kRuntimeModule, "exception in %s: %s", what, e.what());
    } catch (...) {
        NQSDKCommonLog(3, kRuntimeModule, "unknown exception in %s", what);
    }
    if (loop != nullptr && --loop->handlerDepth == 0 && !loop->afterHandler.empty()) runAfterHandlerWork(loop);
}

struct Binding;

// The part of an NQMsgObj that outlives it.
struct ObjCore {
    ObjCore(NQMsgObj* object, std::string objName) : obj(object), name(std::move(objName)) {}
    ObjCore(const ObjCore&) = delete;
    ObjCore& operator=(const ObjCore&) = delete;

    std::shared_ptr<LoopCore> loop() const {
        std::lock_guard<std::mutex> lock(loopMutex_);
        return loop_.lock();
    }
    void setLoop(const std::shared_ptr<LoopCore>& loop) {
        std::lock_guard<std::mutex> lock(loopMutex_);
        loop_ = loop;
    }

    NQMsgObj* const obj;  // valid while alive
    const std::string name;
    std::atomic<bool> alive{true};

    // Guarded by bindingMutex() of NQMsgObj.cpp.
    std::vector<std::shared_ptr<Binding>> outgoing;  // this object is the sender
    std::vector<std::shared_ptr<Binding>> incoming;  // this object is the receiver

private:
    mutable std::mutex loopMutex_;
    std::weak_ptr<LoopCore> loop_;
};

// Queues msg (ownership taken) for target's handMsg on target's loop. False (msg
// freed) when target is dead or has no running loop. Any thread.
bool postToCore(const std::shared_ptr<ObjCore>& target, NQMsg* msg, const NQMsgObj* sender);

// The part of an NQTimer that queued ticks hold. Every field but `id` is guarded
// by `mutex`; every call on `asioTimer` is made with `mutex` held.
struct TimerCore {
    explicit TimerCore(int timerId) : id(timerId) {}

    const int id;
    std::mutex mutex;
    uint64_t generation = 0;  // bumped by start and stop; a tick of another generation is dropped
    bool active = false;
    bool singleShot = false;
    int intervalMs = 0;
    bool hasReceiver = false;
    std::weak_ptr<ObjCore> receiver;
    std::shared_ptr<NQMsgFuncBase> slot;
    std::weak_ptr<LoopCore> loop;                  // the receiver's loop at start
    std::weak_ptr<asio::steady_timer> asioTimer;   // real-time schedule, if any
};

// On the receiver's loop: calls the slot or the receiver's timerMsg for a tick of
// the given generation, unless the timer was restarted or stopped since, or the
// receiver died.
void deliverTimerTick(const std::shared_ptr<TimerCore>& timer, uint64_t generation);

// Manual clock (NQClock.cpp). Schedule and unschedule are called with the
// timer's mutex held (lock order: timer, then scheduler).
void manualSchedule(const std::shared_ptr<TimerCore>& timer, uint64_t generation, int intervalMs);
void manualUnschedule(const TimerCore* timer);

}  // namespace detail
}  // namespace NQBase
