// The server's memory of what it stored lately, with a clock the test moves.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "logStore.h"
#include "receiptRestore.h"
#include "receiptWindow.h"
#include "testSupport.h"

namespace {

using logserver::ReceiptWindow;
using namespace std::chrono_literals;

ReceiptWindow::Key keyOf(const std::string& org, const std::string& address, int cmdId, const std::string& json,
                         const std::string& data, const std::string& cmdType = "reportDetail",
                         const std::string& termId = "0") {
    return ReceiptWindow::keyOf(org, address, cmdId, json, reinterpret_cast<const unsigned char*>(data.data()),
                                data.size(), cmdType, termId);
}

struct ManualClock {
    std::chrono::steady_clock::time_point now{};
    ReceiptWindow::Clock clock() {
        return [this] { return now; };
    }
};

TEST(ReceiptWindowTest, EveryPartOfTheKeyTellsCommandsApart) {
    const auto base = keyOf("acme", "10.0.0.1", 11048, "{\"confId\":7}", "bytes");
    EXPECT_EQ(base, keyOf("acme", "10.0.0.1", 11048, "{\"confId\":7}", "bytes"));
    const std::set<ReceiptWindow::Key> others{
        base,
        keyOf("globex", "10.0.0.1", 11048, "{\"confId\":7}", "bytes"),
        keyOf("acme", "10.0.0.2", 11048, "{\"confId\":7}", "bytes"),
        keyOf("acme", "10.0.0.1", 11047, "{\"confId\":7}", "bytes"),
        keyOf("acme", "10.0.0.1", 11048, "{\"confId\":8}", "bytes"),
        keyOf("acme", "10.0.0.1", 11048, "{\"confId\":7}", "bytez"),
        // The same bytes cut at another place between the fields.
        keyOf("acme", "10.0.0.1", 11048, "{\"confId\":7}b", "ytes"),
        keyOf("acme1", "0.0.0.1", 11048, "{\"confId\":7}", "bytes"),
        // Commands that differ only in their context.
        keyOf("acme", "10.0.0.1", 11048, "{\"confId\":7}", "bytes", "reportLog", "0"),
        keyOf("acme", "10.0.0.1", 11048, "{\"confId\":7}", "bytes", "reportDetail", "1"),
        keyOf("acme", "10.0.0.1", 11048, "{\"confId\":7}", "bytes", "reportDetai", "l0"),
    };
    EXPECT_EQ(11u, others.size());
}

TEST(ReceiptWindowTest, StoredCommandIsKnownUntilTheWindowHasPassed) {
    ManualClock time;
    ReceiptWindow window(600s, ReceiptWindow::kMaxEntries, time.clock());
    const auto first = keyOf("", "127.0.0.1", 11048, "{}", "one");
    const auto second = keyOf("", "127.0.0.1", 11048, "{}", "two");
    uint64_t seq = 0;
    EXPECT_FALSE(window.find(first, seq));
    window.remember(first, 17);
    time.now += 100s;
    window.remember(second, 18);
    ASSERT_TRUE(window.find(first, seq));
    EXPECT_EQ(17u, seq);
    // Stored twice at once: a re-send names the first.
    window.remember(first, 19);
    time.now += 499s;
    ASSERT_TRUE(window.find(first, seq));
    EXPECT_EQ(17u, seq);
    time.now += 1s;
    EXPECT_FALSE(window.find(first, seq));
    EXPECT_TRUE(window.find(second, seq));
    EXPECT_EQ(1u, window.size());
    time.now += 100s;
    EXPECT_FALSE(window.find(second, seq));
    EXPECT_EQ(0u, window.size());
}

TEST(ReceiptWindowTest, OldestEntriesGoFirstBeyondTheBoundAndAZeroWindowKeepsNothing) {
    ManualClock time;
    ReceiptWindow window(600s, 3, time.clock());
    for (uint64_t i = 1; i <= 4; ++i) {
        window.remember(keyOf("", "127.0.0.1", 11048, "{}", std::to_string(i)), i);
        time.now += 1s;
    }
    EXPECT_EQ(3u, window.size());
    uint64_t seq = 0;
    EXPECT_FALSE(window.find(keyOf("", "127.0.0.1", 11048, "{}", "1"), seq));
    for (uint64_t i = 2; i <= 4; ++i) {
        ASSERT_TRUE(window.find(keyOf("", "127.0.0.1", 11048, "{}", std::to_string(i)), seq));
        EXPECT_EQ(i, seq);
    }

    ReceiptWindow off(0s, ReceiptWindow::kMaxEntries, time.clock());
    EXPECT_FALSE(off.enabled());
    off.remember(keyOf("", "127.0.0.1", 11048, "{}", "1"), 1);
    EXPECT_FALSE(off.find(keyOf("", "127.0.0.1", 11048, "{}", "1"), seq));
    EXPECT_EQ(0u, off.size());
}

}  // namespace

namespace {

// A restart refills the window from the newest index day: a command stored
// 40 s before (across a leap day's midnight) is found for the rest of its
// window and no longer; older lines, lines without a key and lines with a
// malformed time are not taken.
TEST(ReceiptRestoreTest, TheNewestDayRefillsTheWindowWithEachCommandsRemainingAge) {
    testsupport::TempDir dir;
    const ReceiptWindow::Key kept = keyOf("", "10.0.0.1", 11047, "", "kept");
    const ReceiptWindow::Key old = keyOf("", "10.0.0.1", 11047, "", "old");
    const ReceiptWindow::Key badTime = keyOf("", "10.0.0.1", 11047, "", "bad");
    auto line = [](int seq, const std::string& time, const std::string& receipt) {
        return "{\"seq\":" + std::to_string(seq) + ",\"node\":\"n1\",\"time\":\"" + time + "\",\"cmdId\":11047" +
               (receipt.empty() ? "" : ",\"receipt\":\"" + receipt + "\"") + "}\n";
    };
    std::filesystem::create_directories(dir.path() + "/index");
    testsupport::writeFile(dir.path() + "/index/2024-02-28.jsonl", line(1, "2024-02-28T23:59:59.000Z", ""));
    testsupport::writeFile(dir.path() + "/index/2024-02-29.jsonl",
                           line(5, "2024-02-29T23:49:00.000Z", ReceiptWindow::hexOf(old)) +
                               line(6, "2024-02-29T23:59:50.500Z", ReceiptWindow::hexOf(kept)) +
                               line(7, "2024-13-29T23:59:55.000Z", ReceiptWindow::hexOf(badTime)) +
                               line(8, "2024-02-29T23:59:58.000Z", ""));
    logserver::LogStore store(dir.path(), logserver::StoreOptions{});
    logserver::StoreError err;
    std::vector<std::string> notes;
    ASSERT_TRUE(store.open(err, notes)) << err.reason;

    auto steadyNow = std::chrono::steady_clock::now();
    ReceiptWindow window(600s, ReceiptWindow::kMaxEntries, [&] { return steadyNow; });
    std::tm tm{};
    tm.tm_year = 124;
    tm.tm_mon = 2;
    tm.tm_mday = 1;
    tm.tm_sec = 30;
    const auto now = std::chrono::system_clock::from_time_t(timegm(&tm));  // 2024-03-01T00:00:30Z
    EXPECT_EQ(1u, logserver::ReceiptRestore::fromStore(window, store, now));
    uint64_t seq = 0;
    EXPECT_FALSE(window.find(old, seq));
    EXPECT_FALSE(window.find(badTime, seq));
    ASSERT_TRUE(window.find(kept, seq));
    EXPECT_EQ(6u, seq);
    steadyNow += 559s;  // stored 40 s before the restart: 599 s old now
    EXPECT_TRUE(window.find(kept, seq));
    steadyNow += 3s;
    EXPECT_FALSE(window.find(kept, seq));
}

}  // namespace
