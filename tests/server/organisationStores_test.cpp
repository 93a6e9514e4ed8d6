// Organisations' stores behind --tokens: any number of organisations is served
// within the descriptor limit, as idle stores are closed again.
#include <gtest/gtest.h>

#include <Ice/Ice.h>
#include <LogServer.h>

#include <sys/resource.h>

#include <atomic>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "NQCompress.h"
#include "testServer.h"
#include "testSupport.h"

namespace {

namespace fs = std::filesystem;
using testserver::RunningServer;

constexpr int kOrganisations = 1000;
constexpr rlim_t kDescriptorLimit = 1024;

std::string tokenOf(int org) { return "token-of-organisation-" + std::to_string(org); }
std::string nameOf(int org) { return "org" + std::to_string(org); }

// A tokens file with one token for each of the first count organisations.
std::string writeTokens(testsupport::TempDir& dir, int count) {
    std::string tokens;
    for (int org = 0; org < count; ++org) tokens += nameOf(org) + " " + tokenOf(org) + "\n";
    testsupport::writeFile(dir.file("tokens"), tokens);
    return dir.file("tokens");
}

// A small error log from client "pc", compressed as the library sends it.
std::string packedErrorLog() {
    NQBase::NQByteArray text("--------------------\nclient:pc;\nline\n"), packed;
    EXPECT_EQ(0, NQBase::zlib_compress(text, packed, 6));
    return packed.toStdString();
}

// Sends bytes as an error log of organisation org; throws what Ice throws.
void sendErrorLog(const Log::ClientLogServerPrxPtr& prx, const std::string& bytes, int org, int termId) {
    prx->sendCmd(11047, "", Ice::ByteSeq(bytes.begin(), bytes.end()),
                 Ice::Context{{"TermID", std::to_string(termId)}, {"cmdType", "reportLog"}, {"Token", tokenOf(org)}});
}

size_t openDescriptors(pid_t pid) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

TEST(OrganisationStoresTest, AThousandOrganisationsInTurnFitADescriptorLimitOf1024) {
    testsupport::TempDir dir;
    RunningServer server(dir.file("store"), {"--no-sync", "--tokens", writeTokens(dir, kOrganisations)});
    const rlimit limit{kDescriptorLimit, kDescriptorLimit};
    ASSERT_EQ(0, ::prlimit(server.pid(), RLIMIT_NOFILE, &limit, nullptr));

    Ice::CommunicatorHolder ice(Ice::initialize());
    auto prx = Ice::uncheckedCast<Log::ClientLogServerPrx>(
        ice->stringToProxy(server.proxy())->ice_invocationTimeout(10000));
    const std::string bytes = packedErrorLog();
    int failed = 0;
    size_t mostDescriptors = 0;
    for (int round = 0; round < 2; ++round) {
        for (int org = 0; org < kOrganisations; ++org) {
            try {
                sendErrorLog(prx, bytes, org, round);
            } catch (const Log::CommandFailed& e) {
                if (++failed <= 3) ADD_FAILURE() << nameOf(org) << ": " << e.reason;
            }
            if (org % 100 == 0) mostDescriptors = std::max(mostDescriptors, openDescriptors(server.pid()));
        }
    }
    EXPECT_EQ(0, failed);
    // Bounded by the stores kept open, not by the organisations served.
    EXPECT_LT(mostDescriptors, 200u);
    for (int org : {0, kOrganisations / 2, kOrganisations - 1})
        EXPECT_TRUE(fs::exists(dir.file("store/" + nameOf(org) + "/errlog/pc"))) << nameOf(org);
    EXPECT_EQ(0, server.stop());
    EXPECT_NE(std::string::npos, server.output().find("stopped: " + std::to_string(2 * kOrganisations) + " commands"))
        << "counts of closed stores are kept";
}

// Synced, a command waits for its flush after its dispatch returned; a store
// may then be due for closing while commands still wait on it. Three times
// more organisations than stores kept open, all sending at once: every
// command is answered and stored, and the server stops cleanly.
TEST(OrganisationStoresTest, StoresWithCommandsAwaitingTheirFlushStayOpenUntilAnswered) {
    constexpr int kBusyOrganisations = 24;
    constexpr int kCommandsEach = 8;
    testsupport::TempDir dir;
    RunningServer server(dir.file("store"), {"--tokens", writeTokens(dir, kBusyOrganisations)});

    Ice::CommunicatorHolder ice(Ice::initialize());
    const std::string bytes = packedErrorLog();
    std::atomic<int> failed{0};
    std::vector<std::thread> clients;
    for (int org = 0; org < kBusyOrganisations; ++org) {
        clients.emplace_back([&, org] {
            // A connection of its own, as each client has.
            auto prx = Ice::uncheckedCast<Log::ClientLogServerPrx>(ice->stringToProxy(server.proxy())
                                                                        ->ice_invocationTimeout(30000)
                                                                        ->ice_connectionId(nameOf(org)));
            for (int i = 0; i < kCommandsEach; ++i) {
                try {
                    sendErrorLog(prx, bytes, org, i);
                } catch (const Ice::Exception& e) {
                    ++failed;
                    ADD_FAILURE() << nameOf(org) << ": " << e.what();
                }
            }
        });
    }
    for (auto& c : clients) c.join();
    EXPECT_EQ(0, failed.load());
    int indexed = 0;
    for (int org = 0; org < kBusyOrganisations; ++org) {
        std::error_code ec;
        for (const auto& day : fs::directory_iterator(dir.file("store/" + nameOf(org) + "/index"), ec)) {
            std::ifstream in(day.path());
            for (std::string line; std::getline(in, line);) ++indexed;
        }
    }
    EXPECT_EQ(kBusyOrganisations * kCommandsEach, indexed);
    EXPECT_EQ(0, server.stop());
    const std::string total = std::to_string(kBusyOrganisations * kCommandsEach);
    EXPECT_NE(std::string::npos, server.output().find("stopped: " + total + " commands, 0 violations")) << server.output();
}

}  // namespace
