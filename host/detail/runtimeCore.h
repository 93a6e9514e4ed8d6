// Internal state of the messaging runtime, shared by NQThread.cpp, NQMsgObj.cpp,
// NQTimer.cpp and NQClock.cpp. Not installed.
//
// Ownership:
//  - LoopCore: owned by its NQThread (shared); posters lock a weak reference for
//    the duration of one post. Queued closures never hold a LoopCore, so the
//    io_context, and with it every closure still queued, is destroyed with the
//    NQThread.
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
#include <utility>
#include <vector>

#include "NQCommon.h"
#include "NQMsgObj.h"

namespace NQBase {
namespace detail {

// Module name of the runtime's own log lines.
inline constexpr const char* kRuntimeModule = "NQCommon";

// A stack of free storage shared by every thread, for what one thread
// allocates and another frees (messages, queued closures). Any thread pushes
// without a lock; takers are serialised among themselves only and take the
// whole stack at once into their own list, so a pop never races another pop
// (no ABA) and the freeing thread never waits for the allocating one. T links
// through its member `poolNext`. Holds at most `limit` entries: past that,
// push refuses and the caller frees as usual.
template <class T>
class FreeStack {
public:
    explicit FreeStack(int limit) : limit_(limit) {}
    FreeStack(const FreeStack&) = delete;
    FreeStack& operator=(const FreeStack&) = delete;

    bool push(T* item) {
        if (count_.fetch_add(1, std::memory_order_relaxed) >= limit_) {
            count_.fetch_sub(1, std::memory_order_relaxed);
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
        if (taken_ == nullptr) taken_ = head_.exchange(nullptr, std::memory_order_acquire);
        T* item = taken_;
        if (item == nullptr) return nullptr;
        taken_ = item->poolNext;
        count_.fetch_sub(1, std::memory_order_relaxed);
        return item;
    }

private:
    const int limit_;
    std::atomic<T*> head_{nullptr};
    std::atomic<int> count_{0};
    std::mutex takers_;
    T* taken_ = nullptr;  // guarded by takers_
};

// Storage for queued closures, recycled through a FreeStack: a post from a
// client thread then takes a block the loop thread gave back instead of
// meeting it at the allocator's lock. Larger requests go to operator new.
void* allocateRecycled(std::size_t bytes);
void deallocateRecycled(void* block, std::size_t bytes) noexcept;

template <class T>
struct RecyclingAllocator {
    using value_type = T;
    RecyclingAllocator() noexcept = default;
    template <class U>
    RecyclingAllocator(const RecyclingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(allocateRecycled(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { deallocateRecycled(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const RecyclingAllocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const RecyclingAllocator<U>&) const noexcept { return false; }
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
        asio::post(io, asio::bind_allocator(RecyclingAllocator<void>(), std::forward<F>(fn)));
        return true;
    }
    bool onLoopThread() const { return thread.load(std::memory_order_acquire) == std::this_thread::get_id(); }

    const std::string name;
    asio::io_context io{1};
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
