// The reference server, run as a real process and called with a plain Ice
// client; the assertions look at what landed in its store.
#include <gtest/gtest.h>

#include <Ice/Ice.h>
#include <LogServer.h>

#include <filesystem>
#include <future>

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

std::string errorLog(const std::string& client, const std::string& text) {
    return "--------------------\nversion:1.0;client:" + client + ";clientIP:10.0.0.1;module:m;conferenceID:7;termID:0;\n" +
           text;
}

void putInt(std::string& out, int32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xff));
}

void putBlob(std::string& out, const std::string& bytes) {
    putInt(out, static_cast<int32_t>(bytes.size()));
    out += bytes;
}

class LogServerTest : public ::testing::Test {
protected:
    std::string store() const { return dir_.file("store"); }
    std::string stored(const std::string& rel) const { return testsupport::readFile(store() + "/" + rel); }
    bool exists(const std::string& rel) const { return fs::exists(store() + "/" + rel); }

    std::shared_ptr<Log::ClientLogServerPrx> client(const RunningServer& server) {
        auto base = ice_.communicator()->stringToProxy(server.proxy())->ice_invocationTimeout(5000);
        return Ice::uncheckedCast<Log::ClientLogServerPrx>(base);
    }

    void send(const RunningServer& server, int cmdId, const std::string& json, const std::string& data,
              const std::string& cmdType) {
        client(server)->sendCmd(cmdId, json, bytesOf(data), Ice::Context{{"TermID", "0"}, {"cmdType", cmdType}});
    }

    std::vector<std::string> indexLines() const {
        std::vector<std::string> lines;
        std::string text = stored("index.jsonl"), line;
        for (char c : text) {
            if (c != '\n') { line += c; continue; }
            lines.push_back(line);
            line.clear();
        }
        return lines;
    }

    testsupport::TempDir dir_;
    Ice::CommunicatorHolder ice_{Ice::initialize()};
};

TEST_F(LogServerTest, ErrorLogsAreAppendedToTheClientFileAndIndexed) {
    RunningServer server(store());
    ASSERT_TRUE(server.started());
    send(server, 11047, "", deflated(errorLog("pc-1", "first\n")), "reportLog");
    send(server, 11047, "", deflated(errorLog("pc-1", "second \xff\xfe\n")), "reportLog");

    EXPECT_EQ(errorLog("pc-1", "first\n") + errorLog("pc-1", "second \xff\xfe\n"), stored("errlog/pc-1.log"));
    auto lines = indexLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[1].find("\"seq\":2,"));
    EXPECT_NE(std::string::npos, lines[1].find("\"cmdType\":\"reportLog\""));
    EXPECT_NE(std::string::npos, lines[1].find("\"path\":\"errlog/pc-1.log\""));
    EXPECT_NE(std::string::npos, lines[1].find("\"peer\":\"127.0.0.1:"));
    EXPECT_NE(std::string::npos, server.stopAndOutput().find("logreport-server stopped: 2 commands, 0 violations"));
}

TEST_F(LogServerTest, HostileClientIdStaysInsideTheStore) {
    RunningServer server(store());
    send(server, 11047, "", deflated(errorLog("../../x", "text\n")), "reportLog");
    EXPECT_EQ(errorLog("../../x", "text\n"), stored("errlog/_._.._x.log"));
    EXPECT_FALSE(fs::exists(dir_.file("x.log")));
    EXPECT_FALSE(fs::exists(dir_.path() + "/../x.log"));
}

TEST_F(LogServerTest, DetailLogsKeepTheirFolder) {
    RunningServer server(store());
    send(server, 11048, R"({"confId":7,"filename":"room/alice_pc_app_0102.log"})", deflated("detail text"), "reportDetail");
    EXPECT_EQ("detail text", stored("detail/room/alice_pc_app_0102.log"));
}

TEST_F(LogServerTest, MalformedCommandsAreQuarantinedAndAnsweredWithSuccess) {
    RunningServer server(store());
    const std::string escaping = R"({"confId":7,"filename":"../evil.log"})";
    send(server, 11048, escaping, deflated("evil"), "reportDetail");
    send(server, 11047, "", "not zlib at all", "reportLog");
    send(server, 11048, "{not json", deflated("x"), "reportDetail");
    send(server, 12345, "{}", deflated("x"), "other");

    EXPECT_FALSE(fs::exists(dir_.file("evil.log")));
    EXPECT_EQ(escaping, stored("rejected/1/request.json"));
    EXPECT_EQ("not zlib at all", stored("rejected/2/data.bin"));
    EXPECT_EQ("data does not inflate\n", stored("rejected/2/reason.txt"));
    EXPECT_TRUE(exists("rejected/3/reason.txt"));
    EXPECT_TRUE(exists("rejected/4/reason.txt"));
    for (const auto& line : indexLines()) EXPECT_NE(std::string::npos, line.find("\"rejected\":")) << line;
}

TEST_F(LogServerTest, InflationBeyondTheCapIsQuarantined) {
    RunningServer server(store(), {"--max-message-mb", "1"});
    send(server, 11047, "", deflated(errorLog("bomb", std::string(5 << 20, '\0'))), "reportLog");
    EXPECT_FALSE(exists("errlog/bomb.log"));
    EXPECT_NE(std::string::npos, stored("rejected/1/reason.txt").find("exceeds"));
}

TEST_F(LogServerTest, FailEveryRefusesWithCommandFailed) {
    RunningServer server(store(), {"--fail-every", "2"});
    send(server, 11047, "", deflated(errorLog("pc", "a\n")), "reportLog");
    try {
        send(server, 11047, "", deflated(errorLog("pc", "b\n")), "reportLog");
        FAIL() << "the second command was not refused";
    } catch (const Log::CommandFailed& e) {
        EXPECT_EQ("injected failure", e.reason);
    }
    EXPECT_EQ(errorLog("pc", "a\n"), stored("errlog/pc.log"));
}

TEST_F(LogServerTest, DumpsAndUserReportsAreStoredWithTheirDescriptions) {
    RunningServer server(store());
    send(server, 11049, R"({"info":{"client":"pc/9","logDate":"2024"}})", deflated("MDMP"), "reportDump");
    std::string list;
    putInt(list, 2);
    for (const char* name : {"../shot.png", "../shot.png"}) {
        putBlob(list, name);
        putBlob(list, "caption");
        putBlob(list, "PNG");
    }
    const std::string report = R"({"version":"1","contact":"me","content":"broken"})";
    send(server, 11050, report, deflated(list), "reportUser");

    EXPECT_EQ("MDMP", stored("dumps/pc_9/1.dmp"));
    EXPECT_EQ(R"({"client":"pc/9","logDate":"2024"})", stored("dumps/pc_9/1.json"));
    EXPECT_EQ(report, stored("reports/2/report.json"));
    EXPECT_EQ("PNG", stored("reports/2/attachments/_._shot.png"));
    EXPECT_EQ("caption", stored("reports/2/attachments/_._shot.png.txt"));
    EXPECT_EQ("PNG", stored("reports/2/attachments/1-_._shot.png"));
}

TEST_F(LogServerTest, SequenceNumbersContinueAfterARestart) {
    {
        RunningServer server(store());
        send(server, 11049, R"({"info":{"client":"pc"}})", deflated("one"), "reportDump");
    }
    RunningServer server(store());
    send(server, 11049, R"({"info":{"client":"pc"}})", deflated("two"), "reportDump");
    EXPECT_EQ("one", stored("dumps/pc/1.dmp"));
    EXPECT_EQ("two", stored("dumps/pc/2.dmp"));
}

TEST_F(LogServerTest, SecondCommandWhileOneIsInFlightIsAViolation) {
    RunningServer server(store(), {"--delay-ms", "300"});
    auto prx = client(server);
    prx->ice_ping();  // one connection for both calls
    auto first = prx->sendCmdAsync(11047, "", bytesOf(deflated(errorLog("pc", "a\n"))));
    auto second = prx->sendCmdAsync(11047, "", bytesOf(deflated(errorLog("pc", "b\n"))));
    first.get();
    second.get();
    EXPECT_NE(std::string::npos, server.stopAndOutput().find("logreport-server stopped: 2 commands, 1 violations"));
}

}  // namespace
