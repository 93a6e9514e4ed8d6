// The server's memory of what it stored lately, with a clock the test moves.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "receiptWindow.h"

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
