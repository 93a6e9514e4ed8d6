// Empty files made ahead in a folder by the pool's thread, with a clock the test moves.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "spareFilePool.h"
#include "testSupport.h"

namespace {

namespace fs = std::filesystem;
using logserver::SpareFilePool;

// Waits (bounded) for what the pool's thread does on its own.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Wakes the thread and waits until it has looked at its state again.
void lookAgain(SpareFilePool& pool) {
    const uint64_t before = pool.rounds();
    pool.wake();
    ASSERT_TRUE(eventually([&] { return pool.rounds() > before; }));
}

std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) names.insert(e.path().filename().string());
    return names;
}

class SpareFilePoolTest : public ::testing::Test {
protected:
    SpareFilePool::Options options(size_t low, size_t high) {
        SpareFilePool::Options o;
        o.low = low;
        o.high = high;
        o.pause = std::chrono::milliseconds(1000);
        o.nowMs = [this] { return nowMs_.load(); };
        o.mayGrow = [this] {
            ++growAsked_;
            return mayGrow_.load();
        };
        return o;
    }

    testsupport::TempDir tmp_;
    const std::string dir_ = tmp_.file("meta");
    std::atomic<int64_t> nowMs_{1000};
    std::atomic<bool> mayGrow_{true};
    std::atomic<int> growAsked_{0};
};

TEST_F(SpareFilePoolTest, RefillsToHighOnceBelowLowAndHandsOutEachEmptyFileOnce) {
    fs::create_directories(dir_);
    SpareFilePool pool(dir_, ".spare-n1-", options(4, 8));
    pool.start();
    ASSERT_TRUE(eventually([&] { return pool.ready() == 8; }));
    const auto made = namesIn(dir_);
    ASSERT_EQ(8u, made.size());
    for (const auto& name : made) EXPECT_EQ(0u, name.rfind(".spare-n1-", 0)) << name;

    std::set<std::string> taken;
    for (int i = 0; i < 4; ++i) {
        std::string path;
        ASSERT_TRUE(pool.take(path));
        EXPECT_TRUE(taken.insert(path).second) << "handed out twice: " << path;
        EXPECT_TRUE(made.count(fs::path(path).filename().string())) << path;
        struct stat st {};
        ASSERT_EQ(0, ::stat(path.c_str(), &st)) << path;
        EXPECT_EQ(0, st.st_size);
        fs::remove(path);  // as a writer renames it away
    }
    EXPECT_EQ(4u, taken.size());
    EXPECT_EQ(1, growAsked_.load()) << "at low, no refill yet";
    std::string path;
    ASSERT_TRUE(pool.take(path));
    fs::remove(path);
    ASSERT_TRUE(eventually([&] { return pool.ready() == 8; }));
    EXPECT_EQ(5u, pool.taken());
    EXPECT_EQ(2, growAsked_.load()) << "the free-space floor is asked once per refill";
    EXPECT_EQ(8u, namesIn(dir_).size());
    EXPECT_EQ(0u, pool.failures());
}

TEST_F(SpareFilePoolTest, StopEndsARefillAtOnceAndRemovesWhatWasNotTaken) {
    fs::create_directories(dir_);
    testsupport::writeFile(dir_ + "/n1-1.json", "{}");
    std::string kept;
    {
        // A refill far longer than any test: stop must not wait for its end.
        SpareFilePool pool(dir_, ".spare-n1-", options(1000000, 1000000));
        pool.start();
        ASSERT_TRUE(eventually([&] { return pool.ready() >= 3; }));
        ASSERT_TRUE(pool.take(kept));
        pool.stop();
        EXPECT_LT(pool.ready(), 1000000u);
        EXPECT_FALSE(pool.take(kept)) << "nothing is handed out after stop";
    }
    // The one taken is its taker's; every other spare is gone.
    EXPECT_EQ((std::set<std::string>{"n1-1.json", fs::path(kept).filename().string()}), namesIn(dir_));
}

TEST_F(SpareFilePoolTest, AFolderMissingPausesTheRefillUntilTheClockMovesOrAFileIsCreatedThere) {
    SpareFilePool pool(dir_, ".spare-n1-", options(2, 4));
    pool.start();
    ASSERT_TRUE(eventually([&] { return pool.failures() == 1; }));
    fs::create_directories(dir_);
    // Paused: looking at the clock again before the pause ends makes nothing.
    nowMs_ += 999;
    lookAgain(pool);
    EXPECT_EQ(0u, pool.ready());
    EXPECT_EQ(1u, pool.failures());
    EXPECT_TRUE(namesIn(dir_).empty()) << "the pool never makes its folder, nor files while paused";
    nowMs_ += 1;
    pool.wake();
    ASSERT_TRUE(eventually([&] { return pool.ready() == 4; }));
    EXPECT_EQ(1u, pool.failures());

    // Removed behind the pool's back: a taker finds its spare gone.
    fs::remove_all(dir_);
    std::string path;
    ASSERT_TRUE(pool.take(path));
    EXPECT_FALSE(fs::exists(path));
    pool.lost();
    ASSERT_TRUE(eventually([&] { return pool.failures() == 2; }));
    EXPECT_EQ(0u, pool.ready()) << "spares of a removed folder are forgotten";
    // A writer created its file in the folder made again: the refill goes on
    // without waiting for the pause.
    fs::create_directories(dir_);
    pool.resume();
    ASSERT_TRUE(eventually([&] { return pool.ready() == 4; }));
    EXPECT_EQ(4u, namesIn(dir_).size());
}

TEST_F(SpareFilePoolTest, BelowTheFreeSpaceFloorNoSpareIsMade) {
    fs::create_directories(dir_);
    mayGrow_ = false;
    SpareFilePool pool(dir_, ".spare-n1-", options(2, 4));
    pool.start();
    ASSERT_TRUE(eventually([&] { return growAsked_.load() == 1; }));
    lookAgain(pool);
    EXPECT_EQ(0u, pool.ready());
    EXPECT_EQ(1, growAsked_.load());
    EXPECT_TRUE(namesIn(dir_).empty());
    mayGrow_ = true;
    nowMs_ += 1000;
    pool.wake();
    ASSERT_TRUE(eventually([&] { return pool.ready() == 4; }));
    EXPECT_EQ(2, growAsked_.load());
}

TEST_F(SpareFilePoolTest, LeftoversAreTheSpareNamesOnly) {
    fs::create_directories(dir_);
    for (const char* name : {".spare-n1-0", ".spare-n2-7", ".spare-3", "n1-4.json", ".other", "spare-1"})
        testsupport::writeFile(dir_ + "/" + name, "x");
    EXPECT_EQ(3u, SpareFilePool::removeLeftovers(dir_));
    EXPECT_EQ((std::set<std::string>{"n1-4.json", ".other", "spare-1"}), namesIn(dir_));
    EXPECT_EQ(0u, SpareFilePool::removeLeftovers(tmp_.file("missing")));
}

}  // namespace
