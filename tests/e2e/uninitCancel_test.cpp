// At uninit the worker abandons a server selection still under way: a server
// that answers only afterwards hands its connection to no one.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "NQConnection.h"
#include "NQThread.h"
#include "logRptProtocol.h"
#include "serverProcess.h"
#include "testSupport.h"
#include "worker/logReportThrdObj.h"

namespace {

using namespace NQBase;

class WorkerThread {
public:
    WorkerThread() : thread_(startObjThread<logReportThrdObj>("logReportLib")) {}
    ~WorkerThread() {
        if (thread_ == nullptr) return;
        thread_->stop(0, false);
        thread_->wait(0xFFFFFFFF);
        delete thread_;
    }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    bool started() const { return thread_ != nullptr; }
    void post(int type, NQVariantMap params = {}) {
        auto* msg = new NQMsg(getMsgSN(), type);
        msg->params = std::move(params);
        thread_->getThreadObj()->postMsg(msg, thread_->getThreadObj());
    }
    void postServers(const std::string& list) {
        NQVariantMap params;
        params[kKeyLogSvrInfo] = list;
        post(MSG_LOGSVRINFO, params);
    }

private:
    NQThread* thread_;
};

// Waits (real time: Ice and the server run in it) until count selections have
// been logged; false at the deadline.
bool waitForSelections(const testsupport::LogCapture& log, int count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (log.countPrefix("selected log server:") < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST(UninitCancel, ASelectionAnsweredAfterUninitReachesNoOne) {
    testsupport::LogCapture log;
    testsupport::TempDir dir;
    const int port = testsupport::freeLoopbackPort();
    testsupport::ServerProcess server(LOGREPORT_SERVER_BIN, dir.path() + "/store", port, {"--no-sync"});
    ASSERT_TRUE(server.start()) << server.output();
    const std::string entry = "127.0.0.1:" + std::to_string(port);
    InitNQConnectionMgr(0);  // no time-out: a stopped server keeps the selection waiting
    {
        WorkerThread worker;
        ASSERT_TRUE(worker.started());
        // The server answers a selection while it runs...
        worker.postServers(entry);
        ASSERT_TRUE(waitForSelections(log, 1, 15000));

        // ... and one made while it is stopped is still waiting at uninit.
        server.signal(SIGSTOP);
        worker.postServers(entry + ";" + entry);
        worker.post(MSG_UNINIT);
        worker.post(1000);
        ASSERT_TRUE(log.waitFor("handMsg unknown:_type:1000"));
        server.signal(SIGCONT);
        // Without the cancellation the late answer is taken within milliseconds.
        EXPECT_FALSE(waitForSelections(log, 2, 3000));
    }
    UninitNQConnectionMgr();
    server.stop();
}

}  // namespace
