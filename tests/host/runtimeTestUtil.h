// Helpers of the runtime tests: threads made the way the library makes its worker
// thread, an object that runs closures and records what it handles, instance-counted
// messages and slots that catch leaks, and a fixture with one loop thread.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <future>
#include <thread>
#include <vector>

#include "NQClock.h"
#include "NQCommon.h"
#include "NQMsgObj.h"
#include "NQSemaphore.h"
#include "NQThread.h"
#include "testSupport.h"

namespace runtimetest {

using NQBase::NQMsg;
using NQBase::NQMsgObj;
using NQBase::NQThread;

constexpr int kLimitMs = 10000;  // for anything awaited

// A message that counts its live instances.
struct CountedMsg : NQMsg {
    explicit CountedMsg(int type, int64_t w = 0, int64_t l = 0) : NQMsg(NQBase::getMsgSN(), type) {
        wParam = w;
        lParam = l;
        ++live;
    }
    ~CountedMsg() override { --live; }
    static inline std::atomic<int> live{0};
};

// A message carrying a closure for a RecordingObj to run.
struct FnMsg : NQMsg {
    explicit FnMsg(std::function<void()> f) : fn(std::move(f)) {}
    std::function<void()> fn;
};

// One handled message, slot call (type -2) or timer tick (type -1).
struct Event {
    int type;
    int64_t wParam, lParam;
    std::thread::id thread;
    const NQMsgObj* sender;
    const NQMsg* msg;  // identity only
};

class Recorder {
public:
    // Records one event on the calling thread.
    void add(int type, int64_t w, int64_t l, const NQMsgObj* sender = nullptr, const NQMsg* msg = nullptr) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back({type, w, l, std::this_thread::get_id(), sender, msg});
        cv_.notify_all();
    }
    std::vector<Event> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    size_t size() const { return events().size(); }
    bool waitForCount(size_t n) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(kLimitMs), [&] { return events_.size() >= n; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Event> events_;
};

// Runs FnMsg closures; records other messages, and timer ticks as type -1 with
// wParam the timer id and lParam NQClock::steadyMs().
class RecordingObj : public NQMsgObj {
public:
    explicit RecordingObj(const std::string& name = "RecordingObj", Recorder* rec = nullptr)
        : NQMsgObj(name), recorder(rec) {}
    void handMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender) override {
        if (auto* fn = dynamic_cast<FnMsg*>(msg.get())) return fn->fn();
        if (recorder) recorder->add(msg->typeId, msg->wParam, msg->lParam, sender, msg.get());
    }
    void timerMsg(int id) override {
        if (recorder) recorder->add(-1, id, NQBase::NQClock::steadyMs());
    }
    Recorder* recorder;
};

// A slot that counts its live instances and records its calls (wParam: tag).
class CountingSlot : public NQBase::NQMsgFuncBase {
public:
    explicit CountingSlot(Recorder* rec, int tag = 0) : recorder_(rec), tag_(tag) { ++live; }
    ~CountingSlot() override { --live; }
    void call(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender) override {
        recorder_->add(msg->typeId, tag_, msg->lParam, sender, msg.get());
    }
    void call() override { recorder_->add(-2, tag_, 0); }
    static inline std::atomic<int> live{0};

private:
    Recorder* recorder_;
    int tag_;
};

// A thread made like the library's worker thread, hosting a RecordingObj.
inline std::unique_ptr<NQThread> makeThread(const std::string& name) {
    return std::unique_ptr<NQThread>(NQBase::startObjThread<RecordingObj>(name));
}

// Queues fn on the thread's loop.
inline bool postFn(NQThread& thread, std::function<void()> fn) {
    return thread.getThreadObj()->postMsg(new FnMsg(std::move(fn)), nullptr);
}

// Runs fn on the thread's loop and waits for it. The promise is shared with
// the queued call: set_value may still be touching it when the waiter wakes
// and returns, so it must not live on the waiter's stack.
inline void runOn(NQThread& thread, std::function<void()> fn) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    postFn(thread, [&fn, done] {
        fn();
        done->set_value();
    });
    finished.wait();
}

// One loop thread with a recording object `obj` on it; checks for leaks.
class LoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        thread = makeThread("loop");
        runOn(*thread, [&] { threadId = std::this_thread::get_id(); });
        obj = newObj("obj");
    }
    void TearDown() override {
        if (thread) runOn(*thread, [&] { delete obj; });
        thread.reset();
        EXPECT_EQ(CountedMsg::live.load(), 0) << "messages leaked";
        EXPECT_EQ(CountingSlot::live.load(), 0) << "slots leaked";
    }
    // A RecordingObj made on `on` (default: thread), recording into `into` (default: rec).
    RecordingObj* newObj(const std::string& name, NQThread* on = nullptr, Recorder* into = nullptr) {
        RecordingObj* made = nullptr;
        runOn(on ? *on : *thread, [&] { made = new RecordingObj(name, into ? into : &rec); });
        return made;
    }
    void flush() { runOn(*thread, [] {}); }

    Recorder rec;
    std::unique_ptr<NQThread> thread;
    std::thread::id threadId;
    RecordingObj* obj = nullptr;  // lives on thread
};

}  // namespace runtimetest
