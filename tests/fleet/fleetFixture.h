// Two log servers of a fleet as real processes, each with its own node name,
// and a plain Ice client that sends them one command of every kind.
#pragma once

#include <gtest/gtest.h>

#include <Ice/Ice.h>
#include <LogServer.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "NQCompress.h"
#include "serverProcess.h"
#include "testSupport.h"

namespace fleettest {

inline std::string deflated(const std::string& text) {
    NQBase::NQByteArray out;
    EXPECT_EQ(0, NQBase::zlib_compress(NQBase::NQByteArray(text), out, 6));
    return out.toStdString();
}

inline std::string le32(uint32_t n) {
    return {char(n & 0xFF), char((n >> 8) & 0xFF), char((n >> 16) & 0xFF), char(n >> 24)};
}

inline std::string errorLog(const std::string& pcid, const std::string& text) {
    return "--------------------\nversion:1.0;client:" + pcid + ";clientIP:10.0.0.1;module:m;conferenceID:7;termID:0;\n" +
           text;
}

struct Server : testsupport::ServerProcess {
    Server(const std::string& store, const std::string& node, std::vector<std::string> extra = {})
        : ServerProcess(LOGREPORT_SERVER_BIN, store, testsupport::freeLoopbackPort(), withNode(node, std::move(extra))) {
        EXPECT_TRUE(start()) << "logreport-server did not start";
    }
    static std::vector<std::string> withNode(const std::string& node, std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"--node", node});
        return extra;
    }
};

class Client {
public:
    Client() = default;
    // A client of an organisation: its commands carry the token.
    explicit Client(std::string token) : token_(std::move(token)) {}

    // Throws Log::CommandFailed when the server refuses.
    void send(const Server& server, int cmdId, const std::string& json, const std::string& data, const std::string& type) {
        auto base = ice_.communicator()->stringToProxy("Log.ClientLogServer:tcp -h 127.0.0.1 -p " +
                                                       std::to_string(server.port()));
        auto prx = Ice::uncheckedCast<Log::ClientLogServerPrx>(base->ice_invocationTimeout(5000));
        Ice::Context ctx{{"TermID", "0"}, {"cmdType", type}};
        if (!token_.empty()) ctx["Token"] = token_;
        prx->sendCmd(cmdId, json, Ice::ByteSeq(data.begin(), data.end()), ctx);
    }

    // One of each: error log, detail log, dump, user report, and a malformed command.
    void sendOneOfEach(const Server& server, const std::string& pcid, const std::string& nickname, int conference) {
        const std::string conf = std::to_string(conference);
        send(server, 11047, "", deflated(errorLog(pcid, "error line\n")), "reportLog");
        send(server, 11048, R"({"confId":)" + conf + R"(,"filename":")" + nickname.substr(0, 4) + "/" + nickname + "_" +
                                pcid + R"(_app_1206.log"})",
             deflated("detail line\n"), "reportDetail");
        send(server, 11049, R"({"info":{"conferenceID":)" + conf + R"(,"client":")" + pcid + R"(","logDate":"x"}})",
             deflated("MDMP"), "reportDump");
        std::string attachment;
        for (const char* part : {"shot.png", "caption", "PNG"}) attachment += le32(uint32_t(std::strlen(part))) + part;
        send(server, 11050, R"({"conferenceID":)" + conf + R"(,"client":")" + pcid + R"(","content":"broken"})",
             deflated(le32(1) + attachment), "reportUser");
        send(server, 11047, "", "not zlib", "reportLog");
    }

private:
    std::string token_;
    Ice::CommunicatorHolder ice_{Ice::initialize()};
};

// Runs a command; its stdout in out, its exit status returned.
inline int run(const std::string& command, std::string& out) {
    out.clear();
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string queryTool() { return std::string(LOGREPORT_TOOLS_DIR) + "/query/logreport-query"; }

inline int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace fleettest
