// NQConnection and NQIceSvrSelect against the real log server, a refused port
// and a listener that never answers. The call time-out is 500 ms.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "../server/testServer.h"
#include "NQCommon.h"
#include "NQCompress.h"
#include "NQConnection.h"
#include "recorderThread.h"
#include "testSupport.h"

namespace {

using namespace NQBase;
using icetest::AnswerKind;
using testserver::LoopbackSocket;
using testserver::proxyFor;
using testserver::RunningServer;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 500;
constexpr int kReportLog = 11047;

struct HostRuntime {
    HostRuntime() {
        InitNQCommon();
        InitNQConnectionMgr(kTimeoutMs);
    }
    ~HostRuntime() {
        UninitNQConnectionMgr();
        UninitNQCommon();
    }
};

NQVariant reportLogCookie() {
    NQVariantMap map;
    map["TermID"] = 0;
    map["cmdType"] = "reportLog";
    return NQVariant(map);
}

NQByteArray errorLogData() {
    NQByteArray out;
    zlib_compress(NQByteArray(std::string("--------------------\nclient:pc;\nhello\n")), out, 6);
    return out;
}

long msSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

NQIceSvrSelect::SvrDat candidate(int index, const std::string& proxy) {
    NQIceSvrSelect::SvrDat dat;
    dat.svrIndex = index;
    dat.svrProxy = proxy;
    return dat;
}

class IceServicesTest : public ::testing::Test {
protected:
    std::shared_ptr<NQConnection> connectedTo(const std::string& proxy) {
        auto conn = std::make_shared<NQConnection>(NQConnection::Ice_Type, "NQConnection");
        EXPECT_TRUE(conn->connectSvr(proxy, true, ""));
        thread_.bindCommand(conn.get(), kReportLog);
        return conn;
    }
    void send(NQConnection& conn) { conn.sendCmd(kReportLog, "", errorLogData(), reportLogCookie(), 0); }
    std::vector<icetest::Answer> answers(size_t count, int ms) { return thread_.recorder().waitFor(count, ms); }

    HostRuntime runtime_;  // first: outlives the recorder thread
    testsupport::TempDir dir_;
    icetest::RecorderThread thread_;
};

TEST_F(IceServicesTest, SuccessAnswerCarriesTheCookieUnchanged) {
    RunningServer server(dir_.path());
    auto conn = connectedTo(server.proxy());
    send(*conn);
    auto got = answers(1, 5000);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(AnswerKind::CommandSucceeded, got[0].kind);
    NQVariantMap cookie = got[0].params.at("Cookie").toMap();
    EXPECT_EQ(0, cookie.at("TermID").toInt());
    EXPECT_EQ("reportLog", cookie.at("cmdType").toString());
    // The cookie travelled as the request context.
    EXPECT_NE(std::string::npos, testsupport::readFile(dir_.file("index.jsonl")).find("\"cmdType\":\"reportLog\""));
}

TEST_F(IceServicesTest, RefusalAnswersFailureWithTheServersReason) {
    RunningServer server(dir_.path(), {"--fail-every", "1"});
    auto conn = connectedTo(server.proxy());
    send(*conn);
    auto got = answers(1, 5000);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(AnswerKind::CommandFailed, got[0].kind);
    EXPECT_EQ("injected failure", got[0].params.at("ErrDesc").toString());
    EXPECT_EQ("reportLog", got[0].params.at("Cookie").toMap().at("cmdType").toString());
}

TEST_F(IceServicesTest, UnreachableServersFailWithinTheTimeout) {
    LoopbackSocket refused(false);
    LoopbackSocket hung(true);
    auto toRefused = connectedTo(proxyFor(refused.port()));
    auto toHung = connectedTo(proxyFor(hung.port()));
    auto unconnected = std::make_shared<NQConnection>(NQConnection::Ice_Type, "NQConnection");
    thread_.bindCommand(unconnected.get(), kReportLog);
    auto start = Clock::now();
    send(*toRefused);
    send(*toHung);
    send(*unconnected);
    auto got = answers(3, 5000);
    EXPECT_LT(msSince(start), 3 * kTimeoutMs);
    ASSERT_EQ(3u, got.size());
    for (const auto& a : got) {
        EXPECT_EQ(AnswerKind::CommandFailed, a.kind);
        EXPECT_FALSE(a.params.at("ErrDesc").toString().empty());
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

TEST_F(IceServicesTest, ManagerLivesUntilTheLastUninit) {
    NQConnection conn(NQConnection::Ice_Type, "NQConnection");
    InitNQConnectionMgr(kTimeoutMs);
    UninitNQConnectionMgr();
    EXPECT_TRUE(conn.connectSvr(proxyFor(1), true, ""));
    EXPECT_FALSE(conn.connectSvr("no such proxy ::", true, ""));
    UninitNQConnectionMgr();
    EXPECT_FALSE(conn.connectSvr(proxyFor(1), true, ""));
    InitNQConnectionMgr(kTimeoutMs);  // balances the fixture's Uninit
}

TEST_F(IceServicesTest, SelectorPicksTheFirstServerThatAnswers) {
    RunningServer server(dir_.path());
    LoopbackSocket hung(true);
    NQIceSvrSelect selector;
    thread_.bindSelector(&selector);
    auto start = Clock::now();
    selector.selectServers({candidate(0, proxyFor(hung.port())), candidate(1, server.proxy())}, NQConnection::Ice_Type);
    auto got = answers(1, 5000);
    EXPECT_LT(msSince(start), kTimeoutMs);  // did not wait for the hung one
    ASSERT_EQ(1u, got.size());
    ASSERT_EQ(AnswerKind::Selected, got[0].kind);
    const auto* dat = got[0].params.at("dat").customValue<NQIceSvrSelect::SvrDat>();
    const auto* prx = got[0].params.at("prx").customValue<std::shared_ptr<NQConnection>>();
    ASSERT_TRUE(dat && prx && *prx);
    EXPECT_EQ(1, dat->svrIndex);
    EXPECT_EQ(server.proxy(), dat->svrProxy);

    std::shared_ptr<NQConnection> conn = *prx;  // already connected
    thread_.bindCommand(conn.get(), kReportLog);
    send(*conn);
    got = answers(2, 5000);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(AnswerKind::CommandSucceeded, got[1].kind);
    std::this_thread::sleep_for(std::chrono::milliseconds(kTimeoutMs + 200));
    EXPECT_EQ(2u, answers(3, 0).size());  // the hung candidate's time-out adds nothing
}

TEST_F(IceServicesTest, SelectorReportsFailureOnceWhenNoneAnswers) {
    LoopbackSocket refused(false);
    LoopbackSocket hung(true);
    NQIceSvrSelect selector;
    thread_.bindSelector(&selector);
    auto start = Clock::now();
    selector.selectServers({candidate(0, proxyFor(refused.port())), candidate(1, proxyFor(hung.port())),
                            candidate(2, "not a proxy ::")},
                           NQConnection::Ice_Type);
    auto got = answers(1, 5000);
    EXPECT_LT(msSince(start), 3 * kTimeoutMs);
    selector.selectServers({}, NQConnection::Ice_Type);
    got = answers(3, 500);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(AnswerKind::NoneSelected, got[0].kind);
    EXPECT_EQ(AnswerKind::NoneSelected, got[1].kind);
}

TEST_F(IceServicesTest, CancelledOrReplacedSelectionsStaySilent) {
    RunningServer server(dir_.path());
    LoopbackSocket hung(true);
    NQIceSvrSelect cancelled;
    NQIceSvrSelect replaced;
    thread_.bindSelector(&cancelled);
    thread_.bindSelector(&replaced);
    cancelled.selectServers({candidate(0, proxyFor(hung.port()))}, NQConnection::Ice_Type);
    cancelled.cancleSelect();
    replaced.selectServers({candidate(0, proxyFor(hung.port()))}, NQConnection::Ice_Type);
    replaced.selectServers({candidate(1, server.proxy())}, NQConnection::Ice_Type);
    auto got = answers(2, 3 * kTimeoutMs);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(AnswerKind::Selected, got[0].kind);
    EXPECT_EQ(1, got[0].params.at("dat").customValue<NQIceSvrSelect::SvrDat>()->svrIndex);
}

}  // namespace
