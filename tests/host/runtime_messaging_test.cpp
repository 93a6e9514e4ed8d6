// Posting messages to objects on their threads; thread start, stop and wait.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>

#include "NQCommon.h"
#include "runtimeTestUtil.h"
#include "testSupport.h"

using namespace runtimetest;
using NQBase::NQSemaphore;

namespace {

constexpr uint32_t kForever = 0xFFFFFFFF;

class RuntimeMessaging : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(CountedMsg::live.load(), 0) << "messages leaked"; }
};

TEST_F(RuntimeMessaging, PostsFromSeveralThreadsKeepEachPostersOrderOnTheObjectsThread) {
    Recorder rec;
    auto thread = makeThread("order");
    const auto loopThread = threadIdOf(*thread);
    std::unique_ptr<RecordingObj> target;
    runOn(*thread, [&] { target = std::make_unique<RecordingObj>("target", &rec); });

    constexpr int kPosters = 4;
    constexpr int kPerPoster = 3000;
    std::vector<std::thread> posters;
    std::atomic<int> refused{0};
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (int i = 0; i < kPerPoster; ++i) {
                if (!target->postMsg(new CountedMsg(7, p, i), nullptr)) ++refused;
            }
        });
    }
    for (auto& t : posters) t.join();
    EXPECT_EQ(refused.load(), 0);
    ASSERT_TRUE(rec.waitForCount(kPosters * kPerPoster));

    std::map<int64_t, int64_t> nextSeq;
    for (const Event& e : rec.events()) {
        EXPECT_EQ(e.thread, loopThread);
        EXPECT_EQ(e.lParam, nextSeq[e.wParam]) << "poster " << e.wParam;
        nextSeq[e.wParam] = e.lParam + 1;
    }
    for (int p = 0; p < kPosters; ++p) EXPECT_EQ(nextSeq[p], kPerPoster);
    runOn(*thread, [&] { target.reset(); });
}

TEST_F(RuntimeMessaging, PostToAnObjectWithoutLoopFailsAndFreesTheMessage) {
    Recorder rec;
    RecordingObj loose("loose", &rec);  // built on the test thread, which runs no loop
    EXPECT_FALSE(loose.postMsg(new CountedMsg(1), nullptr));
    EXPECT_EQ(CountedMsg::live.load(), 0);
    EXPECT_EQ(rec.size(), 0u);
}

TEST_F(RuntimeMessaging, StopEndsTheLoopOnlyAfterEverythingPostedBeforeIt) {
    Recorder rec;
    auto thread = makeThread("stopper");
    std::unique_ptr<RecordingObj> target;
    runOn(*thread, [&] { target = std::make_unique<RecordingObj>("target", &rec); });

    Gate gate;
    postFn(*thread, [&] { gate.wait(); });  // a deliberately slow consumer
    constexpr int kCount = 200;
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(target->postMsg(new CountedMsg(12, 0, i), nullptr));
    thread->stop(0, false);
    // Posted behind the stop while the loop still runs: accepted, never handled,
    // freed with the thread.
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(target->postMsg(new CountedMsg(13), nullptr));
    gate.open();
    ASSERT_TRUE(thread->wait(kForever));

    ASSERT_EQ(rec.size(), static_cast<size_t>(kCount));
    EXPECT_EQ(rec.events().back().lParam, kCount - 1);
    EXPECT_EQ(thread->getThreadObj(), nullptr);
    // The loop has ended: later posts are refused and freed.
    EXPECT_FALSE(target->postMsg(new CountedMsg(1), nullptr));
    EXPECT_EQ(CountedMsg::live.load(), 5);
    thread.reset();
    EXPECT_EQ(CountedMsg::live.load(), 0);
}

TEST_F(RuntimeMessaging, WaitWithALimitTimesOutWhileTheLoopStillRuns) {
    auto thread = makeThread("slow");
    Gate gate;
    postFn(*thread, [&] { gate.wait(); });
    thread->stop(0, false);
    EXPECT_FALSE(thread->wait(20));
    gate.open();
    EXPECT_TRUE(thread->wait(kForever));
    EXPECT_TRUE(thread->wait(0));  // already ended
}

TEST_F(RuntimeMessaging, StopAndWaitFromTheLoopsOwnHandlerDoesNotDeadlock) {
    auto thread = makeThread("self-stop");
    NQThread* raw = thread.get();
    std::atomic<bool> waitResult{true};
    postFn(*thread, [raw, &waitResult] {
        raw->stop(0, true);
        waitResult = raw->wait(kForever);
    });
    EXPECT_TRUE(thread->wait(kForever));
    EXPECT_FALSE(waitResult.load());  // a loop cannot wait for itself
}

TEST_F(RuntimeMessaging, GetThreadObjReturnsTheBoundObject) {
    auto thread = makeThread("bound");
    NQMsgObj* obj = thread->getThreadObj();
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->objName(), "HostObj");
    EXPECT_EQ(thread->name(), "bound");
    std::thread::id handledOn;
    runOn(*thread, [&] { handledOn = std::this_thread::get_id(); });
    EXPECT_NE(handledOn, std::this_thread::get_id());
}

TEST_F(RuntimeMessaging, DestroyingARunningThreadStopsAndJoinsIt) {
    Recorder rec;
    auto thread = makeThread("dropped");
    std::shared_ptr<RecordingObj> target;
    runOn(*thread, [&] { target = std::make_shared<RecordingObj>("target", &rec); });
    for (int i = 0; i < 10; ++i) target->postMsg(new CountedMsg(3), nullptr);
    thread.reset();  // stop, handle what was queued, join
    EXPECT_EQ(rec.size(), 10u);
    target.reset();
}

TEST_F(RuntimeMessaging, MessagesQueuedForAnObjectThatDiesAreDropped) {
    Recorder rec;
    auto thread = makeThread("dies");
    RecordingObj* target = nullptr;
    runOn(*thread, [&] { target = new RecordingObj("target", &rec); });

    Gate gate;
    postFn(*thread, [&] {
        gate.wait();
        delete target;  // on its own thread, with messages for it still queued
    });
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(target->postMsg(new CountedMsg(4), nullptr));
    gate.open();
    runOn(*thread, [] {});
    EXPECT_EQ(rec.size(), 0u);
}

TEST_F(RuntimeMessaging, HandlerGetsTheSenderOrNullOnceTheSenderDied) {
    Recorder rec;
    auto thread = makeThread("sender");
    std::unique_ptr<RecordingObj> target;
    runOn(*thread, [&] { target = std::make_unique<RecordingObj>("target", &rec); });
    auto sender = std::make_unique<RecordingObj>("sender");

    target->postMsg(new CountedMsg(1), sender.get());
    ASSERT_TRUE(rec.waitForCount(1));
    EXPECT_EQ(rec.events()[0].sender, sender.get());

    Gate gate;
    postFn(*thread, [&] { gate.wait(); });
    target->postMsg(new CountedMsg(2), sender.get());
    sender.reset();
    gate.open();
    ASSERT_TRUE(rec.waitForCount(2));
    EXPECT_EQ(rec.events()[1].sender, nullptr);
    runOn(*thread, [&] { target.reset(); });
}

TEST_F(RuntimeMessaging, AnExceptionInAHandlerIsLoggedAndTheLoopCarriesOn) {
    testsupport::LogCapture log;
    Recorder rec;
    auto thread = makeThread("throws");
    std::unique_ptr<RecordingObj> target;
    runOn(*thread, [&] { target = std::make_unique<RecordingObj>("target", &rec); });
    postFn(*thread, [] { throw std::runtime_error("boom"); });
    target->postMsg(new CountedMsg(9), nullptr);
    ASSERT_TRUE(rec.waitForCount(1));
    EXPECT_EQ(log.count("exception in handMsg: boom"), 1);
    runOn(*thread, [&] { target.reset(); });
}

TEST_F(RuntimeMessaging, MessageSerialNumbersAreDistinctAndIncreasingPerThread) {
    constexpr int kThreads = 4;
    constexpr int kEach = 10000;
    std::vector<std::vector<int32_t>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) seen[t].push_back(NQBase::getMsgSN());
        });
    }
    for (auto& t : threads) t.join();
    std::set<int32_t> all;
    for (const auto& list : seen) {
        for (size_t i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1], list[i]);
        all.insert(list.begin(), list.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_GT(*all.begin(), 0);
}

TEST(RuntimeSemaphore, WaitTimesOutWithoutSignalAndPassesAfterOne) {
    NQSemaphore sem(0);
    EXPECT_FALSE(sem.wait(10));
    sem.signal();
    EXPECT_TRUE(sem.wait(-1));
    EXPECT_FALSE(sem.wait(0));
}

TEST(RuntimeSemaphore, SignalFromAnotherThreadReleasesAnUnlimitedWait) {
    NQSemaphore sem(0);
    std::thread signaller([&] { sem.signal(); });
    EXPECT_TRUE(sem.wait(-1));
    signaller.join();
}

TEST(RuntimeCommon, InitAndUninitAreBalancedAndAnExtraUninitIsHarmless) {
    NQBase::InitNQCommon();
    NQBase::InitNQCommon();
    NQBase::UninitNQCommon();
    NQBase::UninitNQCommon();
    NQBase::UninitNQCommon();
    SUCCEED();
}

}  // namespace
