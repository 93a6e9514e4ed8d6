// Sends a few commands of every kind to a log server, to make test stores:
// error logs, detail logs (appended to more than once), crash dumps, user
// reports with an attachment, and malformed commands.
//   send-commands PORT ROUND [TOKEN]
// ROUND makes the texts of one run differ from another's.
#include <Ice/Ice.h>
#include <LogServer.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string deflated(const std::string& text) {
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(text.data()),
              static_cast<uLong>(text.size()), 6);
    out.resize(size);
    return out;
}

std::string le32(uint32_t n) { return {char(n & 0xFF), char((n >> 8) & 0xFF), char((n >> 16) & 0xFF), char(n >> 24)}; }

std::string errorLog(const std::string& pcid, const std::string& text) {
    return "--------------------\nversion:1.0;client:" + pcid + ";clientIP:10.0.0.1;module:m;conferenceID:7;termID:0;\n" +
           text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT ROUND [TOKEN]\n", argv[0]);
        return 2;
    }
    Ice::CommunicatorHolder ice(argc, argv);
    auto prx = Ice::uncheckedCast<Log::ClientLogServerPrx>(
        ice->stringToProxy(std::string("Log.ClientLogServer:tcp -h 127.0.0.1 -p ") + argv[1])->ice_invocationTimeout(5000));
    const std::string round = argv[2];
    const std::string token = argc > 3 ? argv[3] : "";
    const auto send = [&](int cmdId, const std::string& json, const std::string& data, const std::string& type) {
        Ice::Context ctx{{"TermID", "0"}, {"cmdType", type}};
        if (!token.empty()) ctx["Token"] = token;
        prx->sendCmd(cmdId, json, Ice::ByteSeq(data.begin(), data.end()), ctx);
    };
    for (int i = 0; i < 3; ++i) {
        const std::string pc = "pc-" + std::to_string(i);
        const std::string tag = round + "-" + std::to_string(i);
        send(11047, "", deflated(errorLog(pc, "error " + tag + " first\n")), "reportLog");
        send(11047, "", deflated(errorLog(pc, "error " + tag + " second\n")), "reportLog");
        for (int part = 0; part < 2; ++part)
            send(11048, R"({"confId":7,"filename":"alice/alice_)" + pc + R"(_app_1206.log"})",
                 deflated("detail " + tag + " part " + std::to_string(part) + "\n"), "reportDetail");
        send(11049, R"({"info":{"conferenceID":7,"client":")" + pc + R"(","logDate":")" + tag + R"("}})",
             deflated("MDMP" + tag), "reportDump");
        std::string attachment;
        for (std::string part : {std::string("shot.png"), "caption " + tag, std::string("PNG")})
            attachment += le32(uint32_t(part.size())) + part;
        send(11050, R"({"conferenceID":7,"client":")" + pc + R"(","content":"broken )" + tag + R"("})",
             deflated(le32(1) + attachment), "reportUser");
    }
    send(11047, "", "not zlib", "reportLog");
    return 0;
}
