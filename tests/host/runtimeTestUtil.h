// Helpers of the runtime tests: threads made the way the library makes its
// worker thread, a host object that runs closures and records messages, and
// instance-counted messages and slots that catch leaks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NQClock.h"
#include "NQMsgObj.h"
#include "NQSemaphore.h"
#include "NQThread.h"

namespace NQBase {

// Runs the creation steps of the library's createWorkerThread with a
// host object of type Obj constructed on the new thread's stack.
class NQThreadTestAccess {
public:
    template <class Obj>
    static NQThread* create(const std::string& name) {
        auto* thread = new NQThread(name);
        NQSemaphore started(0);
        std::thread body([thread, &started] {
            thread->initRun();
            {
                Obj obj;
                thread->bindObj(&obj);
                started.signal();
                thread->run();
                thread->bindObj(nullptr);
            }
            thread->uninitRun();
        });
        thread->adoptThread(std::move(body));
        started.wait(-1);
        return thread;
    }
};

}  // namespace NQBase

namespace runtimetest {

using NQBase::NQMsg;
using NQBase::NQMsgObj;
using NQBase::NQThread;

constexpr auto kEventLimit = std::chrono::seconds(10);

// A message that counts its live instances.
struct CountedMsg : NQMsg {
    CountedMsg(int type, int64_t poster = 0, int64_t seq = 0) : NQMsg(NQBase::getMsgSN(), type) {
        wParam = poster;
        lParam = seq;
        ++live;
    }
    ~CountedMsg() override { --live; }
    static inline std::atomic<int> live{0};
};

// A message carrying a closure for the host object to run.
struct FnMsg : NQMsg {
    explicit FnMsg(std::function<void()> f) : fn(std::move(f)) {}
    std::function<void()> fn;
};

// One handled message or tick, as recorded.
struct Event {
    int type;
    int64_t wParam;
    int64_t lParam;
    std::thread::id thread;
    const NQMsgObj* sender;
    const NQMsg* msg;  // identity only; may be gone
};

// Records what it handles; waits for a count.
class Recorder {
public:
    void add(Event e) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(e);
        }
        cv_.notify_all();
    }
    std::vector<Event> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_.size();
    }
    bool waitForCount(size_t n) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, kEventLimit, [&] { return events_.size() >= n; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Event> events_;
};

// A message object that runs FnMsg closures and records every other message
// and every timer tick (type -1, wParam the timer id, lParam NQClock::steadyMs())
// into `recorder`.
class RecordingObj : public NQMsgObj {
public:
    explicit RecordingObj(const std::string& name = "RecordingObj", Recorder* rec = nullptr)
        : NQMsgObj(name), recorder(rec) {}
    void handMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender) override {
        if (auto* fn = dynamic_cast<FnMsg*>(msg.get())) {
            fn->fn();
            return;
        }
        if (recorder != nullptr && msg) {
            recorder->add({msg->typeId, msg->wParam, msg->lParam, std::this_thread::get_id(), sender, msg.get()});
        }
    }
    void timerMsg(int timerId) override {
        if (recorder != nullptr) recorder->add({-1, timerId, NQBase::NQClock::steadyMs(), std::this_thread::get_id(), nullptr, nullptr});
    }
    Recorder* recorder;
};

// The host object of a test thread.
class HostObj : public RecordingObj {
public:
    HostObj() : RecordingObj("HostObj") {}
};

// A thread made like the library's worker thread, hosting a HostObj.
inline std::unique_ptr<NQThread> makeThread(const std::string& name) {
    return std::unique_ptr<NQThread>(NQBase::NQThreadTestAccess::create<HostObj>(name));
}

inline HostObj* hostOf(NQThread& thread) { return static_cast<HostObj*>(thread.getThreadObj()); }

// Queues fn on the thread's loop.
inline bool postFn(NQThread& thread, std::function<void()> fn) {
    return hostOf(thread)->postMsg(new FnMsg(std::move(fn)), nullptr);
}

// Runs fn on the thread's loop and waits for it.
inline void runOn(NQThread& thread, std::function<void()> fn) {
    std::promise<void> done;
    auto future = done.get_future();
    postFn(thread, [&] {
        fn();
        done.set_value();
    });
    future.wait();
}

// The id of the thread's operating-system thread.
inline std::thread::id threadIdOf(NQThread& thread) {
    std::thread::id id;
    runOn(thread, [&] { id = std::this_thread::get_id(); });
    return id;
}

// A one-way gate: wait blocks until open.
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, kEventLimit, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

// A slot object that counts its live instances and records its calls.
class CountingSlot : public NQBase::NQMsgFuncBase {
public:
    explicit CountingSlot(Recorder* rec, int tag = 0) : recorder_(rec), tag_(tag) { ++live; }
    ~CountingSlot() override { --live; }
    void call(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender) override {
        recorder_->add({msg ? msg->typeId : 0, tag_, msg ? msg->lParam : 0, std::this_thread::get_id(), sender,
                        msg.get()});
    }
    void call() override { recorder_->add({-2, tag_, 0, std::this_thread::get_id(), nullptr, nullptr}); }
    static inline std::atomic<int> live{0};

private:
    Recorder* recorder_;
    int tag_;
};

}  // namespace runtimetest
