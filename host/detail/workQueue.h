// The queue between the threads that post to a loop and the loop itself.
// Not installed.
//
// Posting is one atomic exchange and one store: a client thread that posts in
// bursts never takes a lock the loop thread holds and never waits for it.
// Only the loop thread takes work out. The queue is intrusive (the work item
// is the node) with a permanent stub node, so neither side allocates for the
// queue itself; items come from the recycled-block pool.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>
#include <utility>

namespace NQBase {
namespace detail {

// Lines written by different threads are kept this far apart.
inline constexpr std::size_t kCacheLine = 64;

void* allocateRecycled(std::size_t bytes);
void deallocateRecycled(void* block, std::size_t bytes) noexcept;

// One queued call. Owned by the queue from push until the loop pops it.
struct QueuedWork {
    QueuedWork() = default;
    QueuedWork(const QueuedWork&) = delete;
    QueuedWork& operator=(const QueuedWork&) = delete;
    virtual ~QueuedWork() = default;
    virtual void run() = 0;

    std::atomic<QueuedWork*> queueNext{nullptr};
};

template <class F>
struct QueuedFn final : QueuedWork {
    explicit QueuedFn(F&& f) : fn(std::move(f)) {}
    void run() override { fn(); }
    // Freed by the loop thread, allocated by the poster: recycled storage keeps
    // them from meeting at the allocator.
    static void* operator new(std::size_t bytes) { return allocateRecycled(bytes); }
    static void operator delete(void* block, std::size_t bytes) noexcept { deallocateRecycled(block, bytes); }

    F fn;
};

// Many producers, one consumer; first in, first out across all producers.
class WorkQueue {
public:
    WorkQueue() = default;
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;
    // Destroys whatever was never taken. No producer may still be pushing.
    ~WorkQueue() {
        while (QueuedWork* item = pop()) delete item;
    }

    // Any thread.
    void push(QueuedWork* item) noexcept {
        item->queueNext.store(nullptr, std::memory_order_relaxed);
        QueuedWork* previous = head_.exchange(item, std::memory_order_acq_rel);
        // Until this store, the consumer cannot reach item or anything pushed
        // after it: pop() reports empty and the consumer waits (see below).
        previous->queueNext.store(item, std::memory_order_release);
    }

    // Consumer thread only. Null when the queue is empty, or when a producer is
    // between the two steps of push(): then a later pop() returns its item.
    QueuedWork* pop() noexcept {
        QueuedWork* tail = tail_;
        QueuedWork* next = tail->queueNext.load(std::memory_order_acquire);
        if (tail == &stub_) {
            if (next == nullptr) return nullptr;
            tail_ = next;
            tail = next;
            next = next->queueNext.load(std::memory_order_acquire);
        }
        if (next != nullptr) {
            tail_ = next;
            return tail;
        }
        if (tail != head_.load(std::memory_order_acquire)) return nullptr;  // a push is half done
        push(&stub_);
        next = tail->queueNext.load(std::memory_order_acquire);
        if (next == nullptr) return nullptr;
        tail_ = next;
        return tail;
    }

    // Consumer thread only: whether pop() may have something now. Reads only
    // the line a producer writes to link its item, so a consumer watching for
    // work does not pull the producers' end of the queue away from them.
    bool mayHaveWork() const noexcept { return tail_->queueNext.load(std::memory_order_acquire) != nullptr; }

private:
    struct Stub final : QueuedWork {
        void run() override {}
    };
    // The producers' end and the consumer's end on lines of their own: each
    // side writes its own end for every item.
    alignas(kCacheLine) std::atomic<QueuedWork*> head_{&stub_};  // the last item pushed
    alignas(kCacheLine) QueuedWork* tail_ = &stub_;              // the next item to take
    Stub stub_;
};

}  // namespace detail
}  // namespace NQBase
