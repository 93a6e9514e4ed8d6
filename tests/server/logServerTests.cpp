// The log server run as a real process, called with a plain Ice client; the tests read its store.
#include <gtest/gtest.h>

#include <Ice/Ice.h>
#include <LogServer.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <filesystem>
#include <sstream>

#include "NQCompress.h"
#include "testServer.h"
#include "testSupport.h"

namespace {

namespace fs = std::filesystem;
using testserver::RunningServer;

std::string deflated(const std::string& text) {
    NQBase::NQByteArray out;
    EXPECT_EQ(0, NQBase::zlib_compress(NQBase::NQByteArray(text), out, 6));
    return out.toStdString();
}

Ice::ByteSeq bytesOf(const std::string& s) { return Ice::ByteSeq(s.begin(), s.end()); }

std::string le32(uint32_t n) { return {char(n & 0xFF), char((n >> 8) & 0xFF), char((n >> 16) & 0xFF), char(n >> 24)}; }

std::string errorLog(const std::string& client, const std::string& text) {
    return "--------------------\nversion:1.0;client:" + client + ";clientIP:10.0.0.1;module:m;conferenceID:7;termID:0;\n" +
           text;
}

class LogServerTest : public ::testing::Test {
protected:
    std::string store() const { return dir_.file("store"); }
    std::string stored(const std::string& rel) const { return testsupport::readFile(store() + "/" + rel); }
    std::shared_ptr<Log::ClientLogServerPrx> client(const RunningServer& server) {
        auto base = ice_.communicator()->stringToProxy(server.proxy())->ice_invocationTimeout(5000);
        return Ice::uncheckedCast<Log::ClientLogServerPrx>(base);
    }
    // Throws Log::CommandFailed when the server refuses.
    void send(const RunningServer& server, int cmdId, const std::string& json, const std::string& data,
              const std::string& cmdType) {
        client(server)->sendCmd(cmdId, json, bytesOf(data), Ice::Context{{"TermID", "0"}, {"cmdType", cmdType}});
    }
    std::vector<std::string> indexLines() const {
        std::istringstream in(stored("index.jsonl"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    testsupport::TempDir dir_;
    Ice::CommunicatorHolder ice_{Ice::initialize()};
};

TEST_F(LogServerTest, ErrorAndDetailLogsLandInTheirFilesAndNumberingSurvivesARestart) {
    RunningServer server(store());
    send(server, 11047, "", deflated(errorLog("pc-1", "first\n")), "reportLog");
    send(server, 11047, "", deflated(errorLog("pc-1", "second \xff\xfe\n")), "reportLog");
    send(server, 11048, R"({"confId":7,"filename":"room/alice_pc_app_0102.log"})", deflated("detail text"), "reportDetail");

    EXPECT_EQ(errorLog("pc-1", "first\n") + errorLog("pc-1", "second \xff\xfe\n"), stored("errlog/pc-1.log"));
    EXPECT_EQ("detail text", stored("detail/room/alice_pc_app_0102.log"));
    auto lines = indexLines();
    ASSERT_EQ(3u, lines.size());
    for (const char* field : {"\"seq\":2,", "\"cmdType\":\"reportLog\"", "\"path\":\"errlog/pc-1.log\"", "\"peer\":\"127.0.0.1:"})
        EXPECT_NE(std::string::npos, lines[1].find(field)) << field;
    server.stop();
    EXPECT_NE(std::string::npos, server.output().find("logreport-server stopped: 3 commands, 0 violations"));
    RunningServer restarted(store());  // numbering goes on where it stopped
    send(restarted, 11047, "", deflated(errorLog("pc-1", "third\n")), "reportLog");
    EXPECT_NE(std::string::npos, indexLines().back().find("\"seq\":4,"));
}

TEST_F(LogServerTest, HostileNamesStayInsideTheStore) {
    RunningServer server(store());
    send(server, 11047, "", deflated(errorLog("../../x", "text\n")), "reportLog");
    send(server, 11049, R"({"info":{"client":"pc/9","logDate":"2024"}})", deflated("MDMP"), "reportDump");
    std::string attachment;  // name, description, data; twice under the same name
    for (const char* part : {"../shot.png", "caption", "PNG"}) attachment += le32(uint32_t(std::strlen(part))) + part;
    const std::string report = R"({"version":"1","contact":"me","content":"broken"})";
    send(server, 11050, report, deflated(le32(2) + attachment + attachment), "reportUser");

    EXPECT_EQ(errorLog("../../x", "text\n"), stored("errlog/_._.._x.log"));
    EXPECT_FALSE(fs::exists(dir_.file("x.log")));
    EXPECT_FALSE(fs::exists(dir_.path() + "/../x.log"));
    EXPECT_EQ("MDMP", stored("dumps/pc_9/2.dmp"));
    EXPECT_EQ(R"({"client":"pc/9","logDate":"2024"})", stored("dumps/pc_9/2.json"));
    EXPECT_EQ(report, stored("reports/3/report.json"));
    EXPECT_EQ("PNG", stored("reports/3/attachments/_._shot.png"));
    EXPECT_EQ("caption", stored("reports/3/attachments/_._shot.png.txt"));
    EXPECT_EQ("PNG", stored("reports/3/attachments/1-_._shot.png"));
}

TEST_F(LogServerTest, MalformedCommandsAreQuarantinedAndAnsweredWithSuccess) {
    RunningServer server(store(), {"--max-message-mb", "1"});
    const std::string escaping = R"({"confId":7,"filename":"../evil.log"})";
    send(server, 11048, escaping, deflated("evil"), "reportDetail");
    send(server, 11047, "", "not zlib at all", "reportLog");
    send(server, 11048, "{not json", deflated("x"), "reportDetail");
    send(server, 12345, "{}", deflated("x"), "other");
    send(server, 11047, "", deflated(errorLog("bomb", std::string(5 << 20, '\0'))), "reportLog");

    EXPECT_FALSE(fs::exists(dir_.file("evil.log")));
    EXPECT_EQ(escaping, stored("rejected/1/request.json"));
    EXPECT_EQ("not zlib at all", stored("rejected/2/data.bin"));
    EXPECT_EQ("data does not inflate\n", stored("rejected/2/reason.txt"));
    for (int i = 1; i <= 5; ++i) EXPECT_TRUE(fs::exists(store() + "/rejected/" + std::to_string(i) + "/reason.txt")) << i;
    EXPECT_NE(std::string::npos, stored("rejected/5/reason.txt").find("exceeds"));
    EXPECT_FALSE(fs::exists(store() + "/errlog/bomb.log"));
    auto lines = indexLines();
    EXPECT_EQ(5u, lines.size());
    for (const auto& line : lines) EXPECT_NE(std::string::npos, line.find("\"rejected\":")) << line;
}

TEST_F(LogServerTest, FailEveryRefusesWithCommandFailed) {
    RunningServer server(store(), {"--fail-every", "2"});
    send(server, 11047, "", deflated(errorLog("pc", "a\n")), "reportLog");
    EXPECT_THROW(send(server, 11047, "", deflated(errorLog("pc", "b\n")), "reportLog"), Log::CommandFailed);
    EXPECT_EQ(errorLog("pc", "a\n"), stored("errlog/pc.log"));
}

TEST_F(LogServerTest, SecondCommandWhileOneIsInFlightIsAViolation) {
    RunningServer server(store(), {"--delay-ms", "300"});
    auto prx = client(server);
    prx->ice_ping();  // one connection for both calls
    auto first = prx->sendCmdAsync(11047, "", bytesOf(deflated(errorLog("pc", "a\n"))));
    auto second = prx->sendCmdAsync(11047, "", bytesOf(deflated(errorLog("pc", "b\n"))));
    first.get();
    second.get();
    server.stop();
    EXPECT_NE(std::string::npos, server.output().find("logreport-server stopped: 2 commands, 1 violations"));
}

}  // namespace

// With --tokens every command needs a listed token (plain or sha256:), lands in
// its organisation's own store, and the token is stored nowhere. Three failures
// close the connection; SIGHUP rereads the file.
TEST_F(LogServerTest, TokensPartitionTheStoreBoundGuessesAndReloadOnSighup) {
    const std::string tokens = dir_.file("tokens");
    testsupport::writeFile(tokens, "# organisation token\n\nacme s3cret-acme\n"
                                   "acme sha256:16367aacb67a4a017c8da8ab95682ccb390863780f7114dda0a0e0c55644c7c4\n"
                                   "globex  s3cret-globex\n");
    RunningServer server(store(), {"--no-sync", "--tokens", tokens});
    auto sendAs = [&](const std::shared_ptr<Log::ClientLogServerPrx>& prx, const std::string& token,
                      const std::string& client) {
        Ice::Context ctx{{"TermID", "0"}, {"cmdType", "reportLog"}};
        if (!token.empty()) ctx["Token"] = token;
        prx->sendCmd(11047, "", bytesOf(deflated(errorLog(client, "x\n"))), ctx);
    };
    auto refusal = [&](const std::shared_ptr<Log::ClientLogServerPrx>& prx, const std::string& token) {
        try {
            sendAs(prx, token, "intruder");
        } catch (const Log::CommandFailed& e) {
            return e.reason;
        }
        return std::string("accepted");
    };
    sendAs(client(server), "s3cret-acme", "a1");
    sendAs(client(server), "second", "a2");
    sendAs(client(server), "s3cret-globex", "g1");
    EXPECT_EQ(refusal(client(server), ""), "unauthorized");
    EXPECT_EQ(refusal(client(server), "s3cret-acmf"), "unauthorized");

    EXPECT_TRUE(fs::exists(store() + "/acme/errlog/a1.log"));
    EXPECT_TRUE(fs::exists(store() + "/acme/errlog/a2.log"));
    EXPECT_TRUE(fs::exists(store() + "/globex/errlog/g1.log"));
    EXPECT_EQ(testsupport::readFile(store() + "/acme/index.jsonl").find("a2.log") != std::string::npos, true);
    EXPECT_EQ(testsupport::readFile(store() + "/globex/index.jsonl").find("a1.log"), std::string::npos);
    for (const auto& e : fs::recursive_directory_iterator(store())) {
        if (!e.is_regular_file()) continue;
        EXPECT_NE(e.path().parent_path().filename(), "store") << "nothing outside the organisations: " << e.path();
        const std::string bytes = testsupport::readFile(e.path().string());
        EXPECT_EQ(bytes.find("s3cret"), std::string::npos) << e.path();
        EXPECT_EQ(bytes.find("intruder"), std::string::npos) << e.path();
    }

    auto guesser = Ice::uncheckedCast<Log::ClientLogServerPrx>(client(server)->ice_connectionId("guesser"));
    auto connection = guesser->ice_getConnection();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(refusal(guesser, "guess" + std::to_string(i)), "unauthorized");
    bool closed = false;
    for (int i = 0; i < 500 && !closed; ++i) {
        try {
            connection->throwException();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } catch (const Ice::LocalException&) {
            closed = true;
        }
    }
    EXPECT_TRUE(closed) << "the third failed attempt closes the connection";

    testsupport::writeFile(tokens, "acme rotated\n");
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitForOutput("tokens reloaded: 1 tokens"));
    EXPECT_EQ(refusal(client(server), "s3cret-acme"), "unauthorized");
    sendAs(client(server), "rotated", "a3");
    EXPECT_TRUE(fs::exists(store() + "/acme/errlog/a3.log"));
}
