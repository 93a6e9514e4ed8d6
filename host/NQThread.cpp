#include "NQThread.h"

#include <chrono>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

#include "NQMsgObj.h"
#include "NQSemaphore.h"
#include "detail/runtimeCore.h"

namespace NQBase {

namespace {
// A plain pointer: a thread_local with a destructor is not torn down reliably
// on every platform. Set between initRun and uninitRun, while the NQThread
// holds the loop.
thread_local detail::LoopCore* tlsLoop = nullptr;
constexpr uint32_t kWaitForever = 0xFFFFFFFF;

using Clock = std::chrono::steady_clock;

// How long an emptied queue is watched before the loop goes to sleep. A thread
// that posts in bursts queues its next call well within this, and finds the
// loop still draining instead of having to wake it (a system call and a
// context switch on both sides). A loop that is not sent bursts spends this
// once per batch.
constexpr auto kIdleWatch = std::chrono::microseconds(20);
const bool kWatchWhenIdle = std::thread::hardware_concurrency() > 1;  // one core: the poster needs it

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Called with the queue found empty: true as soon as work may have arrived,
// false once the watch is over.
bool watchForWork(const detail::WorkQueue& work) {
    if (!kWatchWhenIdle) return false;
    const Clock::time_point until = Clock::now() + kIdleWatch;
    do {
        for (int i = 0; i < 8; ++i) {
            if (work.mayHaveWork()) return true;
            cpuRelax();
        }
        // Give way at once to anything waiting for this core: on a busy
        // machine that may well be the poster itself.
        std::this_thread::yield();
        if (work.mayHaveWork()) return true;
    } while (Clock::now() < until);
    return false;
}
}  // namespace

std::shared_ptr<detail::LoopCore> detail::currentLoop() {
    return tlsLoop != nullptr ? tlsLoop->shared_from_this() : nullptr;
}

detail::LoopCore* detail::thisThreadLoop() noexcept { return tlsLoop; }

void detail::runAfterHandlerWork(LoopCore* loop) noexcept {
    ++loop->handlerDepth;  // work may add work; it runs here too
    while (!loop->afterHandler.empty()) {
        std::vector<std::function<void()>> work;
        work.swap(loop->afterHandler);
        for (auto& fn : work) {
            try {
                fn();
            } catch (const std::exception& e) {
                NQSDKCommonLog(3, kRuntimeModule, "exception in after-handler work: %s", e.what());
            } catch (...) {
                NQSDKCommonLog(3, kRuntimeModule, "unknown exception in after-handler work");
            }
        }
    }
    --loop->handlerDepth;
}

void detail::LoopCore::drain() {
    constexpr int64_t kBatch = 64;
    int64_t taken = 0;
    while (taken < kBatch) {
        QueuedWork* item = work.pop();
        if (item == nullptr) {
            // A poster counted its item but an earlier one is still half
            // pushed: it completes within a few instructions.
            if (pending.load(std::memory_order_acquire) > taken) {
                std::this_thread::yield();
                continue;
            }
            if (!watchForWork(work)) break;
            continue;
        }
        ++taken;
        std::unique_ptr<QueuedWork> owned(item);
        owned->run();
        if (stopRequested) return;  // the rest is destroyed unrun with the loop
    }
    if (pending.fetch_sub(taken, std::memory_order_acq_rel) != taken) scheduleDrain();
}

bool runAfterHandler(std::function<void()> fn) {
    detail::LoopCore* loop = tlsLoop;
    if (loop == nullptr || loop->handlerDepth == 0 || !fn) return false;
    loop->afterHandler.push_back(std::move(fn));
    return true;
}

NQThread::NQThread(const std::string& name) : name_(name), loop_(std::make_shared<detail::LoopCore>(name)) {}

NQThread* NQThread::start(const std::string& name, const std::function<std::unique_ptr<NQMsgObj>()>& makeObj) {
    NQThread* thread = new NQThread(name);
    NQSemaphore started(0);
    thread->adoptThread(std::thread([thread, &makeObj, &started] {
        thread->initRun();
        {
            std::unique_ptr<NQMsgObj> obj = makeObj();
            thread->bindObj(obj.get());
            started.signal();
            thread->run();
            thread->bindObj(nullptr);
        }
        thread->uninitRun();
    }));
    started.wait(-1);
    return thread;
}

NQThread::~NQThread() {
    bool finished;
    {
        std::lock_guard<std::mutex> lock(loop_->stateMutex);
        finished = loop_->finished;
    }
    if (!finished) stop(0, false);
    std::lock_guard<std::mutex> join(loop_->joinMutex);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        NQSDKCommonLog(2, detail::kRuntimeModule, "NQThread %s destroyed on its own thread; detached", name_.c_str());
        thread_.detach();
    } else {
        thread_.join();
    }
}

NQMsgObj* NQThread::getThreadObj() const { return loop_->boundObj.load(std::memory_order_acquire); }

void NQThread::stop(int exitCode, bool waitForEnd) {
    loop_->exitCode.store(exitCode);
    // Queued behind everything posted before, so those are handled first. The
    // closure only runs inside run(), while the loop exists. It sets a flag
    // rather than calling io_context::stop: whether a backend still runs
    // handlers queued after a stop differs (the completion-port backend does),
    // while run() and the drain of the work queue check it after every call.
    loop_->enqueue([loop = loop_.get()] { loop->stopRequested = true; });
    if (waitForEnd && !loop_->onLoopThread()) wait(kWaitForever);
}

bool NQThread::wait(uint32_t ms) {
    if (loop_->onLoopThread()) return false;  // the loop cannot wait for its own end
    {
        std::unique_lock<std::mutex> lock(loop_->stateMutex);
        auto ended = [this] { return loop_->finished || (!loop_->started && !thread_.joinable()); };
        if (ms == kWaitForever) {
            // With an adopted thread, joining below is the wait.
            if (!thread_.joinable()) loop_->stateCv.wait(lock, ended);
        } else if (!loop_->stateCv.wait_for(lock, std::chrono::milliseconds(ms), ended)) {
            return false;
        }
    }
    std::lock_guard<std::mutex> join(loop_->joinMutex);
    if (thread_.joinable()) thread_.join();
    return true;
}

void NQThread::adoptThread(std::thread thread) {
    std::lock_guard<std::mutex> join(loop_->joinMutex);
    std::lock_guard<std::mutex> lock(loop_->stateMutex);
    if (thread_.joinable()) thread_.detach();
    thread_ = std::move(thread);
}

void NQThread::initRun() {
    loop_->thread.store(std::this_thread::get_id(), std::memory_order_release);
    tlsLoop = loop_.get();
    loop_->accepting.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> lock(loop_->stateMutex);
    loop_->started = true;
}

void NQThread::bindObj(NQMsgObj* obj) {
    if (obj != nullptr) obj->core()->setLoop(loop_);
    loop_->boundObj.store(obj, std::memory_order_release);
}

void NQThread::run() {
    std::shared_ptr<detail::LoopCore> loop = loop_;
    {
        auto work = asio::make_work_guard(loop->io);
        while (!loop->stopRequested && loop->io.run_one() > 0) {
        }
    }
    // Anything posted from now on is refused; closures still queued are
    // destroyed unrun with the loop.
    loop->accepting.store(false, std::memory_order_release);
}

void NQThread::uninitRun() {
    loop_->accepting.store(false, std::memory_order_release);
    tlsLoop = nullptr;
    {
        std::lock_guard<std::mutex> lock(loop_->stateMutex);
        loop_->finished = true;
    }
    loop_->stateCv.notify_all();
}

}  // namespace NQBase
