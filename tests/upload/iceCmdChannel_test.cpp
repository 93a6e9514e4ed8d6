// The channel over a real connection: destroying it (the worker going away)
// leaves the connection to its other owners; only disconnect ends it.
#include <gtest/gtest.h>

// Built with the Ice transport only: without it no connection is ever made.
#ifdef LOGREPORT_SERVER_BIN

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "NQConnection.h"
#include "NQThread.h"
#include "logServerCmds.h"
#include "serverProcess.h"
#include "upload/iceCmdChannel.h"

using namespace NQBase;

namespace {

// Receives the answers of the commands on its own loop and keeps their ErrDesc.
class AnswerRecorder : public logUploadReceiver {
public:
    AnswerRecorder() : logUploadReceiver("AnswerRecorder") {}
    NQMsgFuncBase* answerSlot(bool) override { return new NQMsgHander<AnswerRecorder>(this, &AnswerRecorder::answered); }
    NQMsgFuncBase* selectSlot(bool) override { return new NQMsgHander<AnswerRecorder>(this, &AnswerRecorder::none); }

    // The next answer's ErrDesc (empty for a success), or "(none)" at the deadline.
    std::string next() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(15), [this] { return !answers_.empty(); })) return "(none)";
        std::string desc = answers_.front();
        answers_.erase(answers_.begin());
        return desc;
    }

private:
    void answered(const std::shared_ptr<NQMsg>& msg, const NQMsgObj*) {
        std::string desc = msg ? msg->params["ErrDesc"].toString() : std::string();
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.push_back(desc);
        cv_.notify_all();
    }
    void none() {}

    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> answers_;
};

TEST(IceCmdChannel, DestroyingAChannelLeavesTheConnectionOnlyDisconnectEndsIt) {
    InitNQConnectionMgr(0);
    NQThread* thread = startObjThread<AnswerRecorder>("AnswerRecorder");
    ASSERT_NE(thread, nullptr);
    auto& recorder = static_cast<AnswerRecorder&>(*thread->getThreadObj());
    {
        // Nothing listens there: a command that is really sent fails as refused.
        const std::string proxy = "LogServer:tcp -h 127.0.0.1 -p " + std::to_string(testsupport::freeLoopbackPort());
        auto connection = std::make_shared<NQConnection>(NQConnection::Ice_Type, "NQConnection");
        ASSERT_TRUE(connection->connectSvr(proxy, true, ""));
        NQVariantMap cookie;
        cookie["cmdType"] = "reportLog";

        { iceCmdChannel released(connection, recorder); }
        iceCmdChannel kept(connection, recorder);
        kept.sendCmd(kCmdReportLog, "", NQByteArray(), NQVariant(cookie));
        const std::string refused = recorder.next();
        EXPECT_NE(refused, "(none)");
        EXPECT_NE(refused, "not connected") << "a destroyed channel must not disconnect a shared connection";

        kept.disconnect();
        iceCmdChannel after(connection, recorder);
        after.sendCmd(kCmdReportLog, "", NQByteArray(), NQVariant(cookie));
        EXPECT_EQ(recorder.next(), "not connected");
    }
    thread->stop(0, false);
    thread->wait(0xFFFFFFFF);
    delete thread;
    UninitNQConnectionMgr();
}

}  // namespace

#endif  // LOGREPORT_SERVER_BIN
