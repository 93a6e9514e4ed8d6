// Uploads over ssl with an organisation token: the client's settings come
// from the Ice property file named by ICE_CONFIG, the server's certificates
// from openssl at run time.
#include "e2eFixture.h"

#include <filesystem>

#include "collect/dumpTrailer.h"
#include "logRptProtocol.h"
#include "tlsFiles.h"

using namespace NQBase;
using testsupport::readFile;

namespace {

class TlsUpload : public e2e::EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        std::filesystem::create_directories(dir.path() + "/tls");
        tls = testsupport::makeTlsFiles(dir.path() + "/tls");
        ASSERT_TRUE(tls.error.empty()) << tls.error;
        tokens = dir.file("tokens");
        testsupport::writeFile(tokens, "acme acme-token-1-0123456789\n");
        config = dir.file("client.config");
    }
    void TearDown() override {
        EndToEnd::TearDown();
        unsetenv("ICE_CONFIG");
    }
    void configure(const std::string& token, const std::string& transport = "ssl") {
        std::string text = "LogReport.Transport=" + transport + "\nIceSSL.CAs=" + tls.caPem + "\n";
        if (!token.empty()) text += "LogReport.Token=" + token + "\n";
        testsupport::writeFile(config, text);
        setenv("ICE_CONFIG", config.c_str(), 1);
    }
    void startSslServer(const std::string& p12, std::vector<std::string> extra = {}) {
        auto args = testsupport::sslServerArgs(tls, p12, port);
        args.insert(args.end(), {"--no-sync", "--tokens", tokens});
        args.insert(args.end(), extra.begin(), extra.end());
        // The client's settings are not the server's.
        const char* clientConfig = std::getenv("ICE_CONFIG");
        const std::string saved = clientConfig ? clientConfig : "";
        unsetenv("ICE_CONFIG");
        startServer(args);
        if (clientConfig) setenv("ICE_CONFIG", saved.c_str(), 1);
    }
    std::string list() const { return "127.0.0.1:" + std::to_string(port) + ";127.0.0.1:" + std::to_string(port); }
    std::string selected() const {
        return "selected log server:Log.ClientLogServer:tcp -h 127.0.0.1 -p " + std::to_string(port);
    }
    void queueError(const std::string& text) {
        logger->write(NQLOG_ERROR, "conf", "%s", text.c_str());
        report->lastErrRep(0);
    }
    int storedFiles() const {
        int n = 0;
        if (!std::filesystem::exists(storeDir)) return 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(storeDir)) n += e.is_regular_file() ? 1 : 0;
        return n;
    }

    testsupport::TlsFiles tls;
    std::string tokens;
    std::string config;
};

TEST_F(TlsUpload, EveryKindArrivesByteExactInTheOrganisationsStoreWithoutTheToken) {
    configure("acme-token-1-0123456789");
    startSslServer(tls.serverP12);
    const std::string dumpPath = logDir + "/crash.dmp";
    std::string body(1 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131) ^ (i >> 9));
    testsupport::writeFile(dumpPath, body);
    DumpTrailer trailer;
    trailer.meetVer = "5.2.1";
    trailer.client = "PC-7";
    trailer.dumpTime = "2026-03-03 11:59:00";
    ASSERT_TRUE(appendDumpTrailer(dumpPath, trailer));
    const std::string dumpBytes = readFile(dumpPath);
    logger = std::make_unique<NQFileLog>(logDir + "/client.log");
    for (int i = 0; i < 2000; ++i) logger->write(i % 10 ? NQLOG_INFO : NQLOG_ERROR, "conf", "tls line %d", i);
    const std::string logText = readFile(logDir + "/client.log");

    startClient(list());
    ASSERT_TRUE(log.waitFor(selected(), 10000)) << testing::PrintToString(log.texts());
    EXPECT_EQ(log.countPrefix("NQConnectionMgr: uploads use TLS"), 1);
    EXPECT_EQ(log.countPrefix("NQConnectionMgr: uploads are not encrypted"), 0);
    NQClock::advance(1000);
    ASSERT_TRUE(e2e::postShotReport());
    ASSERT_TRUE(waitForLines("slot_reportRspSuc:type:reportUser", 1));

    const std::string org = storeDir + "/acme";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (testsupport::fileSize(rptPath()) != 20 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(testsupport::fileSize(rptPath()), 20) << "the queue drains";
    stopClient();
    EXPECT_NE(e2e::storedErrlog(org, "PC-7").find("tls line 1990\n"), std::string::npos);
    EXPECT_EQ(readFile(org + "/detail/alic/alice_PC-7_client_0303.log"), logText);
    bool dumpFound = false, reportFound = false;
    for (const auto& e : std::filesystem::recursive_directory_iterator(storeDir)) {
        if (!e.is_regular_file()) continue;
        const std::string bytes = readFile(e.path().string());
        EXPECT_EQ(bytes.find("acme-token-1-0123456789"), std::string::npos) << e.path();
        dumpFound |= e.path().extension() == ".dmp" && bytes == dumpBytes;
        reportFound |= e.path().filename() == "0-shot.png" && bytes == e2e::kShotBytes;
    }
    EXPECT_TRUE(dumpFound);
    EXPECT_TRUE(reportFound);
    for (const auto& line : log.texts()) EXPECT_EQ(line.find("acme-token-1-0123456789"), std::string::npos) << line;
    server->stop();
    EXPECT_EQ(server->output().find("acme-token-1-0123456789"), std::string::npos);
}

TEST_F(TlsUpload, ServersWithAnotherCaOrAnotherNameAreRefusedCandidates) {
    configure("acme-token-1-0123456789");
    startSslServer(tls.wrongCaP12);
    std::unique_ptr<testsupport::ServerProcess> wrongName;
    const int otherPort = testsupport::freeLoopbackPort();
    auto args = testsupport::sslServerArgs(tls, tls.wrongNameP12, otherPort);
    args.push_back("--no-sync");
    wrongName = std::make_unique<testsupport::ServerProcess>(LOGREPORT_SERVER_BIN, dir.file("store2"), otherPort, args);
    ASSERT_TRUE(wrongName->start());

    startClient("127.0.0.1:" + std::to_string(port) + ";127.0.0.1:" + std::to_string(otherPort));
    ASSERT_TRUE(log.waitFor("slot_logSvrSelectFailed, try use default", 10000));
    EXPECT_EQ(log.countPrefix("NQIceSvrSelect: Log.ClientLogServer:tcp -h 127.0.0.1 -p " + std::to_string(port) +
                              " refused: "), 1);
    EXPECT_EQ(log.countPrefix("NQIceSvrSelect: Log.ClientLogServer:tcp -h 127.0.0.1 -p " + std::to_string(otherPort) +
                              " refused: "), 1);
    EXPECT_EQ(storedFiles(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("store2") + "/index"));
    wrongName->stop();
}

TEST_F(TlsUpload, PlainClientAgainstAnSslOnlyServerFailsWithinTheTimeoutWhateverTheFilesSay) {
    startSslServer(tls.serverP12);
    // Operator files may not lengthen what Init bounds.
    testsupport::writeFile(config, "LogReport.Transport=tcp\nIce.Override.ConnectTimeout=60000\n"
                                   "Ice.RetryIntervals=0 1000 5000\nIce.Default.InvocationTimeout=60000\n");
    setenv("ICE_CONFIG", config.c_str(), 1);
    const auto begin = std::chrono::steady_clock::now();
    startClient(list(), 1000);
    ASSERT_TRUE(log.waitFor("slot_logSvrSelectFailed, try use default", 10000));
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
    EXPECT_EQ(log.countPrefix("NQConnectionMgr: uploads are not encrypted"), 1);
    EXPECT_EQ(storedFiles(), 0);
}

TEST_F(TlsUpload, MissingOrWrongTokenStoresNothingAndTheQueueWaitsForTheRightOne) {
    startSslServer(tls.serverP12);
    const std::string refused = "slot_reportRspFailed:type:reportLog, err:unauthorized";
    bool first = true;
    for (const std::string token : {"", "acme-token-2-0123456789"}) {
        configure(token);
        log.clear();
        startClient(list());
        ASSERT_TRUE(log.waitFor(selected(), 10000));
        if (first) queueError("kept until the token is right");
        first = false;
        NQClock::advance(60000);  // the periodic run
        ASSERT_TRUE(waitForLines(refused, 1)) << token;
        stopClient();
    }
    EXPECT_EQ(storedFiles(), 0);
    EXPECT_GT(testsupport::fileSize(rptPath()), 20);

    configure("acme-token-1-0123456789");  // a changed token takes effect at the next Init
    log.clear();
    startClient(list());
    ASSERT_TRUE(log.waitFor(selected(), 10000));
    NQClock::advance(60000);
    ASSERT_TRUE(waitForLines("slot_reportRspSuc:type:reportLog", 1));
    EXPECT_NE(e2e::storedErrlog(storeDir + "/acme", "PC-7").find("kept until the token is right"), std::string::npos);
    EXPECT_EQ(server->countOutput("acme-token"), 0);
}

}  // namespace
