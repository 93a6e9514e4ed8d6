#include "NQThread.h"

#include <chrono>

#include "detail/runtimeCore.h"

namespace NQBase {

namespace {
thread_local std::weak_ptr<detail::LoopCore> tlsLoop;
constexpr uint32_t kWaitForever = 0xFFFFFFFF;
}  // namespace

std::shared_ptr<detail::LoopCore> detail::currentLoop() { return tlsLoop.lock(); }

NQThread::NQThread(const std::string& name) : name_(name), loop_(std::make_shared<detail::LoopCore>(name)) {}

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
    // while run() checks the flag after every single handler.
    asio::post(loop_->io, [loop = loop_.get()] { loop->stopRequested = true; });
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
    tlsLoop = loop_;
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
    // destroyed unrun with the io_context.
    loop->accepting.store(false, std::memory_order_release);
}

void NQThread::uninitRun() {
    loop_->accepting.store(false, std::memory_order_release);
    tlsLoop.reset();
    {
        std::lock_guard<std::mutex> lock(loop_->stateMutex);
        loop_->finished = true;
    }
    loop_->stateCv.notify_all();
}

}  // namespace NQBase
