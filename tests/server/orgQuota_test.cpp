// Organisation quotas: a store over its quota loses its oldest days (never
// today's), and one organisation flooding a small disk cannot push the others
// under the free-space floor.
#include <gtest/gtest.h>

#include <Ice/Ice.h>
#include <LogServer.h>

#include <sys/mount.h>

#include <filesystem>
#include <random>
#include <string>

#include "logStore.h"
#include "retentionSweep.h"
#include "testServer.h"
#include "testSupport.h"
#include "utcTime.h"

namespace {

namespace fs = std::filesystem;
using logserver::LogStore;
using logserver::RetentionSweep;
using logserver::StoreError;

void put(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    testsupport::writeFile(path, bytes);
}

TEST(OrgQuotaTest, OldestDaysGoFirstAndTodayIsNeverTaken) {
    testsupport::TempDir dir;
    const std::string today = logserver::utcTimestamp().substr(0, 10);
    const std::string block(100 * 1024, 'd');
    for (int back = 1; back <= 3; ++back) {
        const std::string day = RetentionSweep::daysBefore(today, back);
        const std::string path = "dumps/pc/" + day + ".dmp";
        put(dir.file(path), block);
        put(dir.file("index/" + day + ".jsonl"),
            "{\"seq\":" + std::to_string(back) + ",\"cmdId\":11049,\"path\":\"" + path + "\"}\n");
    }
    put(dir.file("index/" + today + ".jsonl"), "{\"seq\":9,\"cmdId\":11049,\"path\":\"dumps/pc/today.dmp\"}\n");
    put(dir.file("dumps/pc/today.dmp"), block);
    logserver::StoreOptions options;
    options.sync = false;
    options.minFreeBytes = 0;
    options.quotaBytes = 250 * 1024;  // room for two of the four days
    LogStore store(dir.path(), options);
    StoreError err;
    std::vector<std::string> notes;
    ASSERT_TRUE(store.open(err, notes)) << err.reason;
    ASSERT_TRUE(store.checkQuota(err)) << err.reason;
    EXPECT_FALSE(fs::exists(dir.file("dumps/pc/" + RetentionSweep::daysBefore(today, 3) + ".dmp")));
    EXPECT_FALSE(fs::exists(dir.file("dumps/pc/" + RetentionSweep::daysBefore(today, 2) + ".dmp")));
    EXPECT_TRUE(fs::exists(dir.file("dumps/pc/" + RetentionSweep::daysBefore(today, 1) + ".dmp")));
    EXPECT_LT(store.usedBytes(), options.quotaBytes);

    // Only today left and still over: refused, nothing of today deleted.
    put(dir.file("dumps/pc/big.dmp"), std::string(300 * 1024, 'b'));
    LogStore full(dir.path(), options);
    ASSERT_TRUE(full.open(err, notes));
    EXPECT_FALSE(full.checkQuota(err));
    EXPECT_NE(std::string::npos, err.reason.find("over its quota of 0 MiB")) << err.reason;
    EXPECT_TRUE(fs::exists(dir.file("dumps/pc/today.dmp")));
    EXPECT_TRUE(fs::exists(dir.file("index/" + today + ".jsonl")));
}

// Mounts a tmpfs of its own for the case the quota exists for.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& dir) : dir_(dir) {
        fs::create_directories(dir_);
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64m") == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    std::string dir_;
    bool mounted_ = false;
};

TEST(OrgQuotaTest, OneOrganisationFloodingASmallDiskLeavesRoomForTheOthers) {
    testsupport::TempDir dir;
    SmallDisk disk(dir.file("disk"));
    if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    testsupport::writeFile(dir.file("tokens"), "flood token-of-the-flooding-org\nquiet token-of-the-quiet-org\n");
    testserver::RunningServer server(dir.file("disk/store"), {"--no-sync", "--tokens", dir.file("tokens"),
                                                              "--min-free-mb", "8", "--org-quota-mb", "24"});
    Ice::CommunicatorHolder ice(Ice::initialize());
    auto prx = Ice::uncheckedCast<Log::ClientLogServerPrx>(
        ice->stringToProxy(server.proxy())->ice_invocationTimeout(20000));
    // 1 MiB a command that does not compress: stored as it comes.
    std::mt19937 rng(7);
    std::string noise(1 << 20, '\0');
    for (auto& c : noise) c = static_cast<char>(rng());
    auto send = [&](const std::string& token, int n) {
        const std::string json = "{\"info\":{\"client\":\"pc\",\"n\":" + std::to_string(n) + "}}";
        prx->sendCmd(11049, json, Ice::ByteSeq(noise.begin(), noise.end()),
                     Ice::Context{{"TermID", "0"}, {"cmdType", "reportDump"}, {"Token", token}});
    };
    int stored = 0, refused = 0;
    std::string reason;
    for (int n = 0; n < 80; ++n) {
        try {
            send("token-of-the-flooding-org", n);
            ++stored;
        } catch (const Log::CommandFailed& e) {
            ++refused;
            reason = e.reason;
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_LE(stored, 26) << "24 MiB and at most the one command that passes it";
    EXPECT_NE(std::string::npos, reason.find("over its quota")) << reason;
    for (int n = 0; n < 10; ++n) EXPECT_NO_THROW(send("token-of-the-quiet-org", n)) << n;
}

}  // namespace
