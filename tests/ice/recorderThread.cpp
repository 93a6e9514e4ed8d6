#include "recorderThread.h"

#include <chrono>
#include <thread>

#include "NQSemaphore.h"

namespace NQBase {

// Runs the thread's creation steps the way the runtime's own helper does,
// with an AnswerRecorder as the thread's object.
class NQThreadTestAccess {
public:
    static NQThread* start(const std::string& name, icetest::AnswerRecorder** recorder) {
        auto* thread = new NQThread(name);
        NQSemaphore ready(0);
        std::thread body([thread, recorder, &ready] {
            thread->initRun();
            icetest::AnswerRecorder obj;
            thread->bindObj(&obj);
            *recorder = &obj;
            ready.signal();
            thread->run();
            thread->bindObj(nullptr);
            thread->uninitRun();
        });
        thread->adoptThread(std::move(body));
        ready.wait(-1);
        return thread;
    }
};

}  // namespace NQBase

namespace icetest {
namespace {

struct CallMsg : NQBase::NQMsg {
    std::function<void()> fn;
};

}  // namespace

void AnswerRecorder::handMsg(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj*) {
    if (auto* call = dynamic_cast<CallMsg*>(msg.get())) call->fn();
}

void AnswerRecorder::onCommandSucceeded(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj*) {
    record(AnswerKind::CommandSucceeded, msg);
}
void AnswerRecorder::onCommandFailed(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj*) {
    record(AnswerKind::CommandFailed, msg);
}
void AnswerRecorder::onSelected(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj*) {
    record(AnswerKind::Selected, msg);
}
void AnswerRecorder::onNoneSelected(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj*) {
    record(AnswerKind::NoneSelected, msg);
}

void AnswerRecorder::record(AnswerKind kind, const std::shared_ptr<NQBase::NQMsg>& msg) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back({kind, msg ? msg->params : NQBase::NQVariantMap()});
    cv_.notify_all();
}

std::vector<Answer> AnswerRecorder::waitFor(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return answers_.size() >= count; });
    return answers_;
}

RecorderThread::RecorderThread() { thread_ = NQBase::NQThreadTestAccess::start("AnswerRecorder", &recorder_); }

RecorderThread::~RecorderThread() {
    thread_->stop(0, true);
    thread_->wait(0xFFFFFFFF);
    delete thread_;
}

void RecorderThread::runOnThread(std::function<void()> fn) {
    auto done = std::make_shared<NQBase::NQSemaphore>(0);
    auto* msg = new CallMsg;
    msg->fn = [fn, done] {
        fn();
        done->signal();
    };
    recorder_->postMsg(msg, nullptr);
    done->wait(5000);
}

void RecorderThread::bindCommand(const NQBase::NQMsgObj* connection, int cmdId) {
    AnswerRecorder* r = recorder_;
    runOnThread([=] {
        r->connect(connection, cmdId, new NQBase::NQMsgHander<AnswerRecorder>(r, &AnswerRecorder::onCommandSucceeded));
        r->connect(connection, cmdId + 10000, new NQBase::NQMsgHander<AnswerRecorder>(r, &AnswerRecorder::onCommandFailed));
    });
}

void RecorderThread::bindSelector(const NQBase::NQMsgObj* selector) {
    AnswerRecorder* r = recorder_;
    runOnThread([=] {
        r->connect(selector, 1, new NQBase::NQMsgHander<AnswerRecorder>(r, &AnswerRecorder::onSelected));
        r->connect(selector, 0, new NQBase::NQMsgHander<AnswerRecorder>(r, &AnswerRecorder::onNoneSelected));
    });
}

}  // namespace icetest
