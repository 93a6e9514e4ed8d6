// NQThread: an operating-system thread that runs one event loop and hosts one
// message object. A thread is made by start(), which runs the creation steps
// in order on the new thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "NQPlatform.h"

namespace NQBase {

class NQMsgObj;
namespace detail {
struct LoopCore;
}

class NQHOST_API NQThread {
public:
    // Starts the thread "name" and makes its object with makeObj on it; the
    // object lives there for exactly as long as the loop runs. Returns once the
    // object is bound. Any thread.
    static NQThread* start(const std::string& name, const std::function<std::unique_ptr<NQMsgObj>()>& makeObj);
    ~NQThread();  // stops and joins the thread if it still runs
    NQThread(const NQThread&) = delete;
    NQThread& operator=(const NQThread&) = delete;

    // Any thread.
    NQMsgObj* getThreadObj() const;
    // Ends the loop after everything posted before this call has been handled.
    void stop(int exitCode, bool waitForEnd);
    // Blocks until the thread has ended; 0xFFFFFFFF waits without a limit.
    // Returns false on time-out.
    bool wait(uint32_t ms);
    const std::string& name() const { return name_; }

private:
    explicit NQThread(const std::string& name);
    void adoptThread(std::thread thread);
    // On the new thread, in this order.
    void initRun();
    void bindObj(NQMsgObj* obj);
    void run();
    void uninitRun();

    std::string name_;
    std::shared_ptr<detail::LoopCore> loop_;  // also holds the bound object and the thread state
    std::thread thread_;
};

// start() for an object of type Obj made with its default constructor.
template <class Obj>
NQThread* startObjThread(const std::string& name) {
    return NQThread::start(name, [] { return std::unique_ptr<NQMsgObj>(new Obj); });
}

// Inside a handler, slot or timer call on a host loop's thread: runs fn on this
// thread as soon as that call has returned, before the loop dispatches anything
// else. Anywhere else it returns false and fn is not kept.
NQHOST_API bool runAfterHandler(std::function<void()> fn);

}  // namespace NQBase
