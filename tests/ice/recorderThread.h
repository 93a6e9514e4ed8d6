// A message object on its own NQThread that records every answer it is sent:
// the connection's command answers and the selector's results.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "NQMsgObj.h"
#include "NQThread.h"

namespace icetest {

enum class AnswerKind { CommandSucceeded, CommandFailed, Selected, NoneSelected };

struct Answer {
    AnswerKind kind;
    NQBase::NQVariantMap params;
};

class AnswerRecorder : public NQBase::NQMsgObj {
public:
    AnswerRecorder() : NQMsgObj("AnswerRecorder") {}

    void handMsg(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj* sender) override;
    void onCommandSucceeded(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj*);
    void onCommandFailed(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj*);
    void onSelected(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj*);
    void onNoneSelected(const std::shared_ptr<NQBase::NQMsg>& msg, const NQBase::NQMsgObj*);

    // Waits (bounded) until at least count answers arrived; returns them all.
    std::vector<Answer> waitFor(size_t count, int timeoutMs);

private:
    void record(AnswerKind kind, const std::shared_ptr<NQBase::NQMsg>& msg);

    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Answer> answers_;
};

class RecorderThread {
public:
    RecorderThread();
    ~RecorderThread();
    RecorderThread(const RecorderThread&) = delete;
    RecorderThread& operator=(const RecorderThread&) = delete;

    AnswerRecorder& recorder() { return *recorder_; }
    // Binds the command's success and failure signals to the recorder.
    void bindCommand(const NQBase::NQMsgObj* connection, int cmdId);
    void bindSelector(const NQBase::NQMsgObj* selector);

private:
    void runOnThread(std::function<void()> fn);

    NQBase::NQThread* thread_ = nullptr;
    AnswerRecorder* recorder_ = nullptr;
};

}  // namespace icetest
