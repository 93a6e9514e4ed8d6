// NQConnection and NQIceSvrSelect against the real log server, a refused port and a listener that
// never answers (call time-out 500 ms). Their signals are recorded by an object on its own thread.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "../server/testServer.h"
#include "NQCommon.h"
#include "NQCompress.h"
#include "NQConnection.h"
#include "NQSemaphore.h"
#include "NQThread.h"
#include "testSupport.h"

using namespace NQBase;

namespace {

// Every index day of the store at dir, in day order.
std::string indexDays(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/index", ec)) names.insert(e.path().string());
    std::string all;
    for (const auto& name : names) all += testsupport::readFile(name);
    return all;
}

constexpr int kTimeoutMs = 500;
constexpr int kReportLog = 11047;
constexpr int kReportLogFailed = kReportLog + kCmdFailedOffset;

struct Answer { int signal; NQVariantMap params; };
struct CallMsg : NQMsg { std::function<void()> fn; };

class Recorder : public NQMsgObj {
public:
    Recorder() : NQMsgObj("AnswerRecorder") {}
    void handMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj*) override {
        if (auto* call = dynamic_cast<CallMsg*>(msg.get())) call->fn();
    }
    void record(int signal, const std::shared_ptr<NQMsg>& msg) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.push_back({signal, msg ? msg->params : NQVariantMap()});
        cv_.notify_all();
    }
    // Waits (bounded) until at least count answers arrived; returns them all.
    std::vector<Answer> waitFor(size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return answers_.size() >= count; });
        return answers_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Answer> answers_;
};

struct RecordSlot : NQMsgFuncBase {
    RecordSlot(Recorder* r, int s) : recorder(r), signal(s) {}
    void call(const std::shared_ptr<NQMsg>& msg, const NQMsgObj*) override { recorder->record(signal, msg); }
    void call() override { recorder->record(signal, nullptr); }
    Recorder* recorder;
    const int signal;
};

}  // namespace

namespace {

using testserver::LoopbackSocket;
using testserver::proxyFor;
using testserver::RunningServer;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) { return long((Clock::now() - start) / std::chrono::milliseconds(1)); }

class IceServicesTest : public ::testing::Test {
protected:
    IceServicesTest() {
        InitNQCommon();
        InitNQConnectionMgr(kTimeoutMs);
        thread_ = startObjThread<Recorder>("AnswerRecorder");
        recorder_ = static_cast<Recorder*>(thread_->getThreadObj());
    }
    ~IceServicesTest() override {
        delete thread_;  // stops and joins
        UninitNQConnectionMgr();
        UninitNQCommon();
    }
    // connect() belongs on the receiver's thread.
    void bind(const NQMsgObj* sender, std::vector<int> signals) {
        auto done = std::make_shared<NQSemaphore>(0);
        auto* msg = new CallMsg;
        msg->fn = [r = recorder_, sender, signals, done] {
            for (int s : signals) r->connect(sender, s, new RecordSlot(r, s));
            done->signal();
        };
        recorder_->postMsg(msg, nullptr);
        ASSERT_TRUE(done->wait(5000));
    }
    // An empty proxy leaves the connection unconnected.
    std::shared_ptr<NQConnection> connectedTo(const std::string& proxy) {
        auto conn = std::make_shared<NQConnection>(NQConnection::Ice_Type, "NQConnection");
        EXPECT_TRUE(proxy.empty() || conn->connectSvr(proxy, true, ""));
        bind(conn.get(), {kReportLog, kReportLogFailed});
        return conn;
    }
    void send(NQConnection& conn, int termId = 0) {
        NQByteArray data;
        zlib_compress(NQByteArray(std::string("--------------------\nclient:pc;\nhello\n")), data, 6);
        conn.sendCmd(kReportLog, "", data, NQVariant(NQVariantMap{{"TermID", termId}, {"cmdType", "reportLog"}}), 0);
    }
    std::vector<Answer> answers(size_t count, int ms) { return recorder_->waitFor(count, ms); }

    testsupport::TempDir dir_;
    NQThread* thread_ = nullptr;
    Recorder* recorder_ = nullptr;
};

TEST_F(IceServicesTest, SuccessAnswerCarriesTheCookieUnchanged) {
    RunningServer server(dir_.path());
    auto conn = connectedTo(server.proxy());
    send(*conn, 7);
    auto got = answers(1, 5000);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(kReportLog, got[0].signal);
    NQVariantMap cookie = got[0].params.at("Cookie").toMap();
    EXPECT_EQ(7, cookie.at("TermID").toInt());
    EXPECT_EQ("reportLog", cookie.at("cmdType").toString());
    // The cookie travelled as the request context.
    EXPECT_NE(std::string::npos, indexDays(dir_.path()).find("\"cmdType\":\"reportLog\""));
}

TEST_F(IceServicesTest, RefusedOrUnreachableCommandsFailWithAReasonWithinTheTimeout) {
    RunningServer server(dir_.path(), {"--fail-every", "1"});
    LoopbackSocket refused(false);
    LoopbackSocket hung(true);
    auto conns = {connectedTo(server.proxy()), connectedTo(proxyFor(refused.port())),
                  connectedTo(proxyFor(hung.port())), connectedTo("")};
    auto start = Clock::now();
    int termId = 0;
    for (const auto& conn : conns) send(*conn, termId++);
    auto got = answers(4, 5000);
    EXPECT_LT(msSince(start), 3 * kTimeoutMs);
    ASSERT_EQ(4u, got.size());
    for (const auto& a : got) {
        EXPECT_EQ(kReportLogFailed, a.signal);
        const std::string reason = a.params.at("ErrDesc").toString();
        EXPECT_FALSE(reason.empty());
        if (a.params.at("Cookie").toMap().at("TermID").toInt() == 0) {
            EXPECT_EQ("injected failure", reason);
        }
    }
}

TEST_F(IceServicesTest, NothingIsAnsweredAfterDisconnectOrDestruction) {
    RunningServer server(dir_.path(), {"--delay-ms", "200"});
    auto disconnected = connectedTo(server.proxy());
    auto destroyed = connectedTo(server.proxy());
    send(*disconnected);
    send(*destroyed);
    disconnected->disconnectSvr();
    destroyed.reset();
    EXPECT_TRUE(answers(1, 800).empty());
}

TEST_F(IceServicesTest, SelectorPicksTheLiveServerOverAHungOne) {
    RunningServer server(dir_.path());
    LoopbackSocket hung(true);
    NQIceSvrSelect selector;
    bind(&selector, {0, 1});
    auto start = Clock::now();
    selector.selectServers({{0, proxyFor(hung.port()), {}}, {1, server.proxy(), {}}}, NQConnection::Ice_Type);
    auto got = answers(1, 5000);
    EXPECT_LT(msSince(start), kTimeoutMs);  // did not wait for the hung one
    ASSERT_EQ(1u, got.size());
    ASSERT_EQ(1, got[0].signal);
    const auto* dat = got[0].params.at("dat").customValue<NQIceSvrSelect::SvrDat>();
    const auto* prx = got[0].params.at("prx").customValue<std::shared_ptr<NQConnection>>();
    ASSERT_TRUE(dat && prx && *prx);
    EXPECT_EQ(1, dat->svrIndex);
    EXPECT_EQ(server.proxy(), dat->svrProxy);
    std::this_thread::sleep_for(std::chrono::milliseconds(kTimeoutMs + 200));
    EXPECT_EQ(1u, answers(2, 0).size());  // the hung candidate's time-out adds nothing
}

TEST_F(IceServicesTest, SelectorSignalsZeroOnceWhenNoneAnswers) {
    LoopbackSocket refused(false);
    LoopbackSocket hung(true);
    NQIceSvrSelect selector;
    bind(&selector, {0, 1});
    auto start = Clock::now();
    selector.selectServers({{0, proxyFor(refused.port()), {}}, {1, proxyFor(hung.port()), {}},
                            {2, "not a proxy ::", {}}}, NQConnection::Ice_Type);
    answers(1, 5000);
    EXPECT_LT(msSince(start), 3 * kTimeoutMs);
    selector.selectServers({}, NQConnection::Ice_Type);
    auto got = answers(3, 500);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0, got[0].signal + got[1].signal);  // 0 and 0: no selection
}

TEST_F(IceServicesTest, CancelledOrReplacedSelectionsStaySilent) {
    RunningServer server(dir_.path());
    LoopbackSocket hung(true);
    NQIceSvrSelect cancelled, replaced;
    bind(&cancelled, {0, 1});
    bind(&replaced, {0, 1});
    cancelled.selectServers({{0, proxyFor(hung.port()), {}}}, NQConnection::Ice_Type);
    cancelled.cancleSelect();
    replaced.selectServers({{0, proxyFor(hung.port()), {}}}, NQConnection::Ice_Type);
    replaced.selectServers({{1, server.proxy(), {}}}, NQConnection::Ice_Type);
    auto got = answers(2, 3 * kTimeoutMs);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(1, got[0].signal);
    EXPECT_EQ(1, got[0].params.at("dat").customValue<NQIceSvrSelect::SvrDat>()->svrIndex);
}

}  // namespace
