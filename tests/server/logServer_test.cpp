// The log server run as a real process, called with a plain Ice client; the tests read its store.
#include <gtest/gtest.h>

#include <Ice/Ice.h>
#include <LogServer.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "NQCompress.h"
#include "testServer.h"
#include "testSupport.h"
#include "tlsFiles.h"

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

std::string detailJson(const std::string& filename) { return R"({"confId":7,"filename":")" + filename + "\"}"; }

// Attachment list: count, then name, description and data of each.
std::string attachments(const std::vector<std::vector<std::string>>& items) {
    std::string out = le32(uint32_t(items.size()));
    for (const auto& item : items)
        for (const auto& part : item) out += le32(uint32_t(part.size())) + part;
    return out;
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
    // Throws Log::CommandFailed when the server refuses.
    void send(const RunningServer& server, int cmdId, const std::string& json, const std::string& data,
              const std::string& cmdType) {
        client(server)->sendCmd(cmdId, json, bytesOf(data), Ice::Context{{"TermID", "0"}, {"cmdType", cmdType}});
    }
    void sendDetail(const RunningServer& server, const std::string& name, const std::string& text) {
        send(server, 11048, detailJson(name), deflated(text), "reportDetail");
    }
    // A normal client's error log still arrives: the server survived what came before.
    void expectServes(const RunningServer& server) {
        const std::string before = errlogOf("normal");
        ASSERT_NO_THROW(send(server, 11047, "", deflated(errorLog("normal", "ok\n")), "reportLog"));
        EXPECT_EQ(before + errorLog("normal", "ok\n"), errlogOf("normal"));
    }
    std::string joined(const std::string& rel, const std::string& suffix) const {
        return testserver::joinedFiles(store() + "/" + rel, suffix);
    }
    std::string errlogOf(const std::string& encodedClient) const { return joined("errlog/" + encodedClient, ".log"); }
    std::vector<std::string> indexLines() const {
        std::istringstream in(joined("index", ".jsonl"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // The bytes an index line's "meta" field points to.
    std::string metaOf(const std::string& line) const {
        const size_t at = line.find("\"meta\":\"");
        if (at == std::string::npos) return "(no meta)";
        const std::string ref = line.substr(at + 8, line.find('"', at + 8) - at - 8);
        const size_t second = ref.rfind(':'), first = ref.rfind(':', second - 1);
        const std::string file = stored(ref.substr(0, first));
        return file.substr(std::stoull(ref.substr(first + 1)), std::stoull(ref.substr(second + 1)));
    }
    std::string lineOf(uint64_t seq) const {
        for (const auto& line : indexLines())
            if (line.rfind("{\"seq\":" + std::to_string(seq) + ",", 0) == 0) return line;
        return {};
    }

    testsupport::TempDir dir_;
    Ice::CommunicatorHolder ice_{Ice::initialize()};
};

TEST_F(LogServerTest, ErrorAndDetailLogsLandInTheirFilesAndNumbersAreNeverReused) {
    auto server = std::make_unique<RunningServer>(store());
    send(*server, 11047, "", deflated(errorLog("pc-1", "first\n")), "reportLog");
    send(*server, 11047, "", deflated(errorLog("pc-1", "second \xff\xfe\n")), "reportLog");
    sendDetail(*server, "room/alice_pc_app_0102.log", "detail text");

    EXPECT_EQ(errorLog("pc-1", "first\n") + errorLog("pc-1", "second \xff\xfe\n"), errlogOf("pc-1"));
    EXPECT_EQ("detail text", stored("detail/room/alice_pc_app_0102.log"));
    auto lines = indexLines();
    ASSERT_EQ(3u, lines.size());
    const std::string first = errorLog("pc-1", "first\n");
    const std::string second = "\"offset\":" + std::to_string(first.size()) + ",\"length\":" +
                               std::to_string(errorLog("pc-1", "second \xff\xfe\n").size());
    for (const char* field : {"\"seq\":2,", "\"cmdType\":\"reportLog\"", "\"path\":\"errlog/pc-1/", second.c_str(),
                              "\"peer\":\"127.0.0.1:", "\"name\":\"pc-1\""})
        EXPECT_NE(std::string::npos, lines[1].find(field)) << field;
    // The request's JSON is kept beside the index, not in it.
    EXPECT_EQ(std::string::npos, lines[2].find("confId\\\""));
    EXPECT_NE(std::string::npos, lines[2].find("\"meta\":\"meta/" + lines[2].substr(lines[2].find("\"time\":\"") + 8, 10) +
                                               ".log:0:" + std::to_string(detailJson("room/alice_pc_app_0102.log").size()) + "\""))
        << lines[2];
    EXPECT_EQ(detailJson("room/alice_pc_app_0102.log"), metaOf(lines[2]));
    server->stop();
    EXPECT_NE(std::string::npos, server->output().find("logreport-server stopped: 3 commands, 0 violations"));

    // Killed without a chance to write anything more, the next run still
    // hands out numbers never seen before.
    server = std::make_unique<RunningServer>(store());
    send(*server, 11047, "", deflated(errorLog("pc-1", "third\n")), "reportLog");
    server->kill();
    server = std::make_unique<RunningServer>(store());
    send(*server, 11047, "", deflated(errorLog("pc-1", "fourth\n")), "reportLog");
    lines = indexLines();
    ASSERT_EQ(5u, lines.size());
    std::set<std::string> seqs;
    for (const auto& line : lines) seqs.insert(line.substr(0, line.find(',')));
    EXPECT_EQ(5u, seqs.size());
    EXPECT_GT(std::stoull(lines[4].substr(7)), std::stoull(lines[3].substr(7)));
}

// Names: whatever a client calls its files, nothing leaves the store, two
// different names never meet and no name is refused for ever.
TEST_F(LogServerTest, HostileNamesAreStoredReversiblyAndNeverMeet) {
    RunningServer server(store());
    send(server, 11047, "", deflated(errorLog("../../x", "text\n")), "reportLog");
    EXPECT_EQ(errorLog("../../x", "text\n"), errlogOf("%2E.%2F..%2Fx"));
    EXPECT_FALSE(fs::exists(dir_.path() + "/x.log"));

    // Nicknames in the user's own script stay readable; look-alikes stay apart.
    sendDetail(server, "\xe7\x94\xa8\xe6\x88\xb7_pc1.log", "user");
    sendDetail(server, "\xe5\xae\xa2\xe6\x88\xb7_pc1.log", "customer");
    sendDetail(server, "a b", "space");
    sendDetail(server, "a_b", "underscore");
    sendDetail(server, "a%20b", "percent");
    sendDetail(server, ".", "dot");
    sendDetail(server, "bad\xff.log", "not utf-8");
    EXPECT_EQ("user", stored("detail/\xe7\x94\xa8\xe6\x88\xb7_pc1.log"));
    EXPECT_EQ("customer", stored("detail/\xe5\xae\xa2\xe6\x88\xb7_pc1.log"));
    EXPECT_EQ("space", stored("detail/a b"));
    EXPECT_EQ("underscore", stored("detail/a_b"));
    EXPECT_EQ("percent", stored("detail/a%2520b"));
    EXPECT_EQ("dot", stored("detail/%2E"));
    EXPECT_EQ("not utf-8", stored("detail/bad%FF.log"));
    EXPECT_NE(std::string::npos, lineOf(8).find("\"nameHex\":\"626164ff2e6c6f67\""));

    // A name that meets a folder, or a folder that meets a file, gets a suffix.
    sendDetail(server, "f/g.log", "in folder");
    sendDetail(server, "f", "file over folder");
    sendDetail(server, "h", "file");
    sendDetail(server, "h/i.log", "folder over file");
    EXPECT_EQ("file over folder", stored("detail/f#file"));
    EXPECT_EQ("folder over file", stored("detail/h#dir/i.log"));
    EXPECT_NE(std::string::npos, lineOf(10).find("\"path\":\"detail/f#file\""));

    // Too long and too deep: cut, told apart by a hash, traced by the index.
    const std::string longA(300, 'a'), longB = std::string(299, 'a') + "b";
    sendDetail(server, longA, "long a");
    sendDetail(server, longB, "long b");
    std::string deep;
    for (int i = 0; i < 2000; ++i) deep += "d/";
    sendDetail(server, deep + "x.log", "deep");
    std::set<std::string> detailFiles;
    for (auto& e : fs::recursive_directory_iterator(store() + "/detail"))
        if (e.is_regular_file()) detailFiles.insert(e.path().string());
    EXPECT_EQ(14u, detailFiles.size());
    for (const auto& f : detailFiles) EXPECT_LE(fs::path(f).filename().string().size(), 200u) << f;
    EXPECT_NE(std::string::npos, lineOf(13).find("\"name\":\"" + longA + "\""));
    const std::string deepLine = lineOf(15);
    EXPECT_NE(std::string::npos, deepLine.find("\"name\":\"" + deep + "x.log\""));

    // Attachments never overwrite each other, nor each other's descriptions.
    const std::string report = R"({"version":"1","client":"pc","contact":"me","content":"broken"})";
    send(server, 11050, report,
         deflated(attachments({{"a", "caption of a", "A"}, {"a.txt", "", "TXT"}, {"a", "", "A2"}, {"../x", "", "X"}})),
         "reportUser");
    EXPECT_EQ(report, stored("reports/n1-16/report.json"));
    EXPECT_EQ("A", stored("reports/n1-16/attachments/0-a"));
    EXPECT_EQ("caption of a", stored("reports/n1-16/attachments/0-a.txt"));
    EXPECT_EQ("TXT", stored("reports/n1-16/attachments/1-a.txt"));
    EXPECT_EQ("A2", stored("reports/n1-16/attachments/2-a"));
    EXPECT_EQ("X", stored("reports/n1-16/attachments/3-%2E.%2Fx"));
    expectServes(server);
}

// Payloads: malformed input is quarantined and answered with success; a
// bomb costs neither memory nor a stray byte in a log.
TEST_F(LogServerTest, HostilePayloadsAreQuarantinedAndLeaveNoPartialData) {
    RunningServer server(store(), {"--max-inflated-mb", "4"});
    send(server, 11047, "", deflated(errorLog("bomb", "kept\n")), "reportLog");
    sendDetail(server, "../evil.log", "evil");                                         // 2
    send(server, 11047, "", "not zlib at all", "reportLog");                            // 3
    send(server, 11048, "{not json", deflated("x"), "reportDetail");                   // 4
    send(server, 12345, "{}", deflated("x"), "other");                                 // 5
    send(server, 11047, "", deflated(errorLog("bomb", std::string(64 << 20, 'z'))), "reportLog");  // 6
    send(server, 11049, std::string(140000, '[') + std::string(140000, ']'), deflated("MDMP"), "reportDump");  // 7
    std::string deepInfo = R"({"info":{"client":"pc","x":)" + std::string(100, '{') + std::string(100, '}') + "}}";
    send(server, 11049, deepInfo, deflated("MDMP"), "reportDump");                     // 8
    send(server, 11047, "", deflated(errorLog("tail", "t\n")) + "garbage", "reportLog");  // 9
    send(server, 11050, R"({"client":"pc"})", deflated(le32(3) + le32(1) + "a"), "reportUser");  // 10
    send(server, 11048, detailJson("cut.log"), deflated("whole").substr(0, 6), "reportDetail");  // 11

    EXPECT_FALSE(fs::exists(dir_.file("evil.log")));
    EXPECT_EQ(detailJson("../evil.log"), stored("rejected/n1-2/request.json"));
    EXPECT_EQ("not zlib at all", stored("rejected/n1-3/data.bin"));
    EXPECT_EQ("data does not inflate\n", stored("rejected/n1-3/reason.txt"));
    EXPECT_NE(std::string::npos, stored("rejected/n1-6/reason.txt").find("exceeds 4194304 bytes"));
    EXPECT_EQ(errorLog("bomb", "kept\n"), errlogOf("bomb"));  // the bomb's start was cut back
    EXPECT_NE(std::string::npos, stored("rejected/n1-7/reason.txt").find("nests deeper than 64"));
    EXPECT_NE(std::string::npos, stored("rejected/n1-8/reason.txt").find("nests deeper than 64"));
    EXPECT_EQ("data continues after the end of the compressed stream\n", stored("rejected/n1-9/reason.txt"));
    EXPECT_EQ("", errlogOf("tail"));
    EXPECT_FALSE(exists("reports/n1-10"));
    EXPECT_FALSE(exists("detail/cut.log"));
    auto lines = indexLines();
    ASSERT_EQ(11u, lines.size());
    for (size_t i = 1; i < lines.size(); ++i) EXPECT_NE(std::string::npos, lines[i].find("\"rejected\":")) << lines[i];
    EXPECT_NE(std::string::npos, server.output().find("quarantined cmd 11049"));
    expectServes(server);
}

// Sizes and disk: an oversized request is logged, a full rejected/ keeps
// only the count, a disk below the floor refuses for now, and a torn index
// or an unconfirmed append left by a crash is repaired at start.
TEST_F(LogServerTest, SizeLimitsAndRepairsAtStart) {
    {
        RunningServer server(store(), {"--max-message-mb", "1", "--max-rejected-mb", "0"});
        EXPECT_THROW(send(server, 11047, "", std::string(2 << 20, 'x'), "reportLog"), Ice::LocalException);
        EXPECT_TRUE(server.waitForOutput("larger than --max-message-mb"));
        // Ice's own compression: a small transfer that decompresses past the limit.
        auto compressed = Ice::uncheckedCast<Log::ClientLogServerPrx>(client(server)->ice_compress(true));
        EXPECT_THROW(compressed->sendCmd(11047, "", Ice::ByteSeq(4 << 20, 0)), Ice::LocalException);
        send(server, 11047, "", "junk", "reportLog");
        EXPECT_FALSE(exists("rejected/n1-1"));
        EXPECT_NE(std::string::npos, lineOf(1).find("\"bytesKept\":false"));
        expectServes(server);
    }
    {
        RunningServer server(store(), {"--min-free-mb", "100000000"});
        EXPECT_THROW(send(server, 11047, "", deflated(errorLog("full", "x\n")), "reportLog"), Log::CommandFailed);
        EXPECT_FALSE(exists("errlog/full"));
        EXPECT_TRUE(server.waitForOutput("disk below the free-space floor"));
    }
#ifndef __SANITIZE_ADDRESS__  // the sanitizer runtime itself does not run under a small file-size limit
    {
        // A write refused half-way (here by the file-size limit, as by a full
        // disk) leaves nothing behind, and the retry finds the file as it was.
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = 64 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &small);
        RunningServer server(store());  // inherits the limit
        ::setrlimit(RLIMIT_FSIZE, &old);
        const std::string block(40 * 1024, 'b');
        const std::string next(40 * 1024, 'c');
        sendDetail(server, "big.log", block);
        EXPECT_THROW(sendDetail(server, "big.log", next), Log::CommandFailed);
        EXPECT_EQ(block, stored("detail/big.log"));
        EXPECT_TRUE(server.waitForOutput("store not writable: detail/big.log"));
        // Room again (as when a full disk is freed): the refused command is
        // stored when it comes again, not taken for a re-send.
        ASSERT_EQ(0, ::prlimit(server.pid(), RLIMIT_FSIZE, &old, nullptr));
        sendDetail(server, "big.log", next);
        EXPECT_EQ(block + next, stored("detail/big.log"));
    }
#endif
    // A crash left a torn index line and an append whose line never came,
    // with its intent in the journal.
    std::string errlogDay, indexDay;
    for (const auto& e : fs::directory_iterator(store() + "/errlog/normal")) errlogDay = "errlog/normal/" + e.path().filename().string();
    for (const auto& e : fs::directory_iterator(store() + "/index")) indexDay = std::max(indexDay, "index/" + e.path().filename().string());
    const std::string normal = stored(errlogDay);
    testsupport::writeFile(store() + "/" + errlogDay, normal + "half of an unconfirmed append");
    testsupport::writeFile(store() + "/journal/n1/7.log", "A 99 " + std::to_string(normal.size()) + " " + errlogDay + "\n");
    testsupport::writeFile(store() + "/" + indexDay, stored(indexDay) + "{\"seq\":99,\"ti");
    RunningServer server(store(), {"--dedupe-window", "0"});  // the same error log is sent again
    EXPECT_TRUE(server.waitForOutput(indexDay + ": cut a torn last line of 13 bytes"));
    EXPECT_TRUE(server.waitForOutput("cut " + errlogDay + " back to"));
    EXPECT_EQ(normal, stored(errlogDay));
    expectServes(server);
    for (const auto& line : indexLines()) EXPECT_EQ('}', line.back()) << line;
}

// A client killed after the server stored its command, before it recorded
// the answer, sends the same bytes again at its next start.
TEST_F(LogServerTest, ReSendIsAnsweredAsStoredButStoredOnce) {
    {
        RunningServer server(store());
        sendDetail(server, "room/a.log", "line 1\n");
        // The restarted client comes on a connection of its own.
        auto restarted = Ice::uncheckedCast<Log::ClientLogServerPrx>(client(server)->ice_connectionId("restarted"));
        ASSERT_NO_THROW(restarted->sendCmd(11048, detailJson("room/a.log"), bytesOf(deflated("line 1\n")),
                                           Ice::Context{{"TermID", "0"}, {"cmdType", "reportDetail"}}));
        EXPECT_NE(restarted->ice_getConnection(), client(server)->ice_getConnection());
        EXPECT_TRUE(server.waitForOutput("cmd 11048 reportDetail from 127.0.0.1:"));
        EXPECT_TRUE(server.waitForOutput(": dropped a re-send of seq n1-1 ("));
        EXPECT_EQ("line 1\n", stored("detail/room/a.log"));
        EXPECT_EQ(1u, indexLines().size());
        // Other bytes, or the same bytes under other JSON, are other commands.
        sendDetail(server, "room/a.log", "line 2\n");
        send(server, 11048, R"({"confId":8,"filename":"room/a.log"})", deflated("line 1\n"), "reportDetail");
        send(server, 11047, "", deflated(errorLog("pc", "e\n")), "reportLog");
        send(server, 11047, "", deflated(errorLog("pc", "e\n")), "reportLog");
        // The same bytes from another terminal are another command.
        client(server)->sendCmd(11048, detailJson("room/a.log"), bytesOf(deflated("line 2\n")),
                                Ice::Context{{"TermID", "1"}, {"cmdType", "reportDetail"}});
        EXPECT_EQ("line 1\nline 2\nline 1\nline 2\n", stored("detail/room/a.log"));
        EXPECT_EQ(errorLog("pc", "e\n"), errlogOf("pc"));
        EXPECT_EQ(5u, indexLines().size());
        server.stop();
        EXPECT_NE(std::string::npos, server.output().find("logreport-server stopped: 7 commands, 0 violations, 2 re-sends dropped"))
            << server.output();
    }
    {
        RunningServer server(store(), {"--dedupe-window", "0"});
        sendDetail(server, "room/b.log", "line 1\n");
        sendDetail(server, "room/b.log", "line 1\n");
        EXPECT_EQ("line 1\nline 1\n", stored("detail/room/b.log"));
    }
}

// The window is rebuilt from the index at start: a client that re-sends after
// the server was killed is answered without a second copy.
TEST_F(LogServerTest, ReSendAfterAServerRestartIsStoredOnce) {
    {
        RunningServer server(store());
        sendDetail(server, "room/a.log", "line 1\n");
        server.kill();
    }
    RunningServer server(store());
    sendDetail(server, "room/a.log", "line 1\n");
    EXPECT_TRUE(server.waitForOutput(": dropped a re-send of seq n1-1 ("));
    EXPECT_EQ("line 1\n", stored("detail/room/a.log"));
    EXPECT_EQ(1u, indexLines().size());
}

// Over ssl the client's address comes from the transport under the TLS layer.
TEST_F(LogServerTest, ReSendOverSslIsStoredOnce) {
    fs::create_directories(dir_.file("tls"));
    const auto tls = testsupport::makeTlsFiles(dir_.file("tls"));
    ASSERT_TRUE(tls.error.empty()) << tls.error;
    const int port = testsupport::freeLoopbackPort();
    testsupport::ServerProcess server(LOGREPORT_SERVER_BIN, store(), port, testsupport::sslServerArgs(tls, tls.serverP12, port));
    ASSERT_TRUE(server.start()) << server.output();
    Ice::registerIceSSL(false);
    Ice::InitializationData init;
    init.properties = Ice::createProperties();
    init.properties->setProperty("Ice.Plugin.IceSSL", "IceSSL:createIceSSL");
    init.properties->setProperty("IceSSL.CAs", tls.caPem);
    Ice::CommunicatorHolder ssl(init);
    const std::string proxy = "Log.ClientLogServer:ssl -h localhost -p " + std::to_string(port);
    for (const char* connection : {"first", "restarted"}) {
        auto prx = Ice::uncheckedCast<Log::ClientLogServerPrx>(
            ssl->stringToProxy(proxy)->ice_invocationTimeout(5000)->ice_connectionId(connection));
        ASSERT_NO_THROW(prx->sendCmd(11048, detailJson("tls.log"), bytesOf(deflated("over tls\n")),
                                     Ice::Context{{"TermID", "0"}, {"cmdType", "reportDetail"}}));
    }
    EXPECT_TRUE(server.waitForOutput("cmd 11048 reportDetail from 127.0.0.1:"));
    EXPECT_TRUE(server.waitForOutput(": dropped a re-send of seq "));
    EXPECT_EQ("over tls\n", stored("detail/tls.log"));
}

// The server keeps appended files open and remembers its folders between
// commands. What an operator renames or removes meanwhile is followed: the
// next command lands whole under its usual name, with one index line.
TEST_F(LogServerTest, FilesAndFoldersChangedWhileServingAreFollowed) {
    RunningServer server(store(), {"--dedupe-window", "0"});  // the same error log is sent again
    sendDetail(server, "room/a.log", "one\n");
    expectServes(server);
    // Rotated: the next append goes to the file now under the name (here
    // one made empty in its place, or a new one); the old one keeps its bytes.
    std::vector<std::string> rotated{"detail/room/a.log"};
    for (const char* dir : {"errlog/normal", "index", "meta"})
        for (const auto& e : fs::directory_iterator(store() + "/" + dir)) rotated.push_back(dir + ("/" + e.path().filename().string()));
    for (const auto& rel : rotated) fs::rename(store() + "/" + rel, store() + "/" + rel + ".1");
    testsupport::writeFile(store() + "/detail/room/a.log", "");
    sendDetail(server, "room/a.log", "two\n");
    expectServes(server);
    EXPECT_EQ("one\n", stored("detail/room/a.log.1"));
    EXPECT_EQ("two\n", stored("detail/room/a.log"));
    EXPECT_EQ(errorLog("normal", "ok\n"), stored(rotated[1] + ".1"));
    EXPECT_EQ(2u, indexLines().size());
    // Folders removed: made again.
    for (const char* rel : {"detail", "errlog", "meta", "index"}) {
        fs::remove_all(store() + "/" + rel);
        ASSERT_FALSE(fs::exists(store() + "/" + rel)) << rel;
    }
    sendDetail(server, "room/a.log", "three\n");
    expectServes(server);
    sendDetail(server, "room/a.log", "more\n");
    EXPECT_EQ("three\nmore\n", stored("detail/room/a.log"));
    EXPECT_EQ(detailJson("room/a.log"), metaOf(indexLines()[0]));
    // A folder turned into a file: the log goes beside it, as a first sight would place it.
    fs::remove_all(store() + "/detail/room");
    testsupport::writeFile(store() + "/detail/room", "not a folder");
    sendDetail(server, "room/a.log", "four\n");
    EXPECT_EQ("four\n", stored("detail/room#dir/a.log"));
    EXPECT_EQ("not a folder", stored("detail/room"));
    const auto lines = indexLines();
    ASSERT_EQ(4u, lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(0u, lines[i].rfind("{\"seq\":" + std::to_string(i + 5) + ",", 0)) << lines[i];
    EXPECT_NE(std::string::npos, lines.back().find("\"path\":\"detail/room#dir/a.log\""));
}

TEST_F(LogServerTest, FailEveryRefusesWithCommandFailed) {
    RunningServer server(store(), {"--fail-every", "2"});
    send(server, 11047, "", deflated(errorLog("pc", "a\n")), "reportLog");
    EXPECT_THROW(send(server, 11047, "", deflated(errorLog("pc", "b\n")), "reportLog"), Log::CommandFailed);
    EXPECT_EQ(errorLog("pc", "a\n"), errlogOf("pc"));
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

// Connections: idle sockets can neither exhaust the server nor stay for
// ever, and a client uploading more often than the idle time-out is never cut.
TEST_F(LogServerTest, IdleConnectionsAreLimitedAndTimedOut) {
    RunningServer server(store(), {"--max-connections", "3", "--idle-timeout-s", "2"});
    auto connectRaw = [&] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(server.port()));
        EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        timeval tv{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return fd;
    };
    std::vector<int> idle;
    for (int i = 0; i < 3; ++i) idle.push_back(connectRaw());
    ASSERT_TRUE(server.waitForOutput("listening"));
    EXPECT_THROW(send(server, 11047, "", deflated(errorLog("late", "x\n")), "reportLog"), Ice::LocalException);
    EXPECT_TRUE(server.waitForOutput("refused connection from 127.0.0.1:"));
    // The idle sockets are closed by the server within its time-out.
    const auto start = std::chrono::steady_clock::now();
    for (int fd : idle) {
        char buf[256];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
        }
        EXPECT_EQ(0, n) << "closed by the server, not timed out here";
        ::close(fd);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));

    // Uploads every 0.8 s against a 2 s time-out keep one connection.
    auto prx = client(server);
    prx->ice_ping();
    auto con = prx->ice_getCachedConnection();
    std::atomic<bool> closed{false};
    con->setCloseCallback([&closed](const Ice::ConnectionPtr&) { closed = true; });
    for (int i = 0; i < 4; ++i) {
        prx->sendCmd(11047, "", bytesOf(deflated(errorLog("steady", std::to_string(i) + "\n"))));
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
    }
    EXPECT_FALSE(closed);
    EXPECT_EQ(con, prx->ice_getCachedConnection());
    EXPECT_NE(std::string::npos, errlogOf("steady").find(errorLog("steady", "3\n")));
}

}  // namespace

// With --tokens every command needs a listed token (plain or sha256:), lands in
// its organisation's own store, and the token is stored nowhere; SIGHUP
// rereads the file.
TEST_F(LogServerTest, TokensPartitionTheStoreAndReloadOnSighup) {
    const std::string tokens = dir_.file("tokens");
    testsupport::writeFile(tokens, "# organisation token\n\nacme s3cret-acme-0123456789\n"
                                   "acme sha256:16367aacb67a4a017c8da8ab95682ccb390863780f7114dda0a0e0c55644c7c4\n"
                                   "globex  s3cret-globex-0123456789\n");
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
    sendAs(client(server), "s3cret-acme-0123456789", "a1");
    sendAs(client(server), "second", "a2");
    sendAs(client(server), "s3cret-globex-0123456789", "g1");
    // The same bytes from two organisations are two commands; from one, a re-send.
    sendAs(client(server), "s3cret-acme-0123456789", "same");
    sendAs(client(server), "s3cret-globex-0123456789", "same");
    sendAs(client(server), "second", "same");
    EXPECT_EQ(errorLog("same", "x\n"), joined("acme/errlog/same", ".log"));
    EXPECT_EQ(errorLog("same", "x\n"), joined("globex/errlog/same", ".log"));
    EXPECT_EQ(refusal(client(server), ""), "unauthorized");
    EXPECT_EQ(refusal(client(server), "s3cret-acme-0123456788"), "unauthorized");

    EXPECT_TRUE(fs::exists(store() + "/acme/errlog/a1"));
    EXPECT_TRUE(fs::exists(store() + "/acme/errlog/a2"));
    EXPECT_TRUE(fs::exists(store() + "/globex/errlog/g1"));
    EXPECT_NE(joined("acme/index", ".jsonl").find("errlog/a2/"), std::string::npos);
    EXPECT_EQ(joined("globex/index", ".jsonl").find("errlog/a1/"), std::string::npos);
    for (const auto& e : fs::recursive_directory_iterator(store())) {
        if (!e.is_regular_file()) continue;
        EXPECT_NE(e.path().parent_path().filename(), "store") << "nothing outside the organisations: " << e.path();
        const std::string bytes = testsupport::readFile(e.path().string());
        EXPECT_EQ(bytes.find("s3cret"), std::string::npos) << e.path();
        EXPECT_EQ(bytes.find("intruder"), std::string::npos) << e.path();
    }

    testsupport::writeFile(tokens, "acme rotated-0123456789\n");
    server.signal(SIGHUP);
    ASSERT_TRUE(server.waitForOutput("tokens reloaded: 1 tokens"));
    EXPECT_EQ(refusal(client(server), "s3cret-acme-0123456789"), "unauthorized");
    sendAs(client(server), "rotated-0123456789", "a3");
    EXPECT_TRUE(fs::exists(store() + "/acme/errlog/a3"));
}
