// Timers on the manual clock (deterministic) and a few on real time.
#include <gtest/gtest.h>

#include <set>

#include "NQClock.h"
#include "NQCommon.h"
#include "NQTimer.h"
#include "runtimeTestUtil.h"
#include "testSupport.h"

using namespace runtimetest;
using NQBase::NQTimer;
namespace NQClock = NQBase::NQClock;

namespace {

constexpr int64_t kWallStart = 1700000000000;  // 2023-11-14 22:13:20 UTC

std::vector<Event> ticksOnly(const Recorder& rec) {
    std::vector<Event> out;
    for (const Event& e : rec.events()) {
        if (e.type < 0) out.push_back(e);
    }
    return out;
}

class ManualClockTimers : public ::testing::Test {
protected:
    void SetUp() override {
        NQClock::useManual(kWallStart);
        base = NQClock::steadyMs();
        thread = makeThread("timers");
        threadId = threadIdOf(*thread);
        runOn(*thread, [&] { receiver = new RecordingObj("receiver", &rec); });
    }
    void TearDown() override {
        runOn(*thread, [&] { delete receiver; });
        thread.reset();
        NQClock::useReal();
        EXPECT_EQ(CountingSlot::live.load(), 0) << "slots leaked";
    }

    Recorder rec;
    int64_t base = 0;
    std::unique_ptr<NQThread> thread;
    std::thread::id threadId;
    RecordingObj* receiver = nullptr;
};

TEST_F(ManualClockTimers, AdvanceFiresDueTimersInDueOrderOnTheReceiversThread) {
    NQTimer report("logRptTimer");
    NQTimer dump("logRptDumpTimer");
    report.start(60000, receiver);
    dump.setSingleShot(true);
    dump.start(1000, receiver);

    NQClock::advance(61000);
    auto ticks = ticksOnly(rec);
    ASSERT_EQ(ticks.size(), 2u);
    EXPECT_EQ(ticks[0].wParam, dump.getTimerID());
    EXPECT_EQ(ticks[0].lParam, base + 1000);
    EXPECT_EQ(ticks[1].wParam, report.getTimerID());
    EXPECT_EQ(ticks[1].lParam, base + 60000);
    for (const Event& e : ticks) EXPECT_EQ(e.thread, threadId);
    EXPECT_FALSE(dump.isActive());
    EXPECT_TRUE(report.isActive());

    NQClock::advance(59000);
    ticks = ticksOnly(rec);
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_EQ(ticks[2].wParam, report.getTimerID());
    EXPECT_EQ(ticks[2].lParam, base + 120000);
    EXPECT_EQ(NQClock::steadyMs(), base + 120000);
}

TEST_F(ManualClockTimers, TicksOfTimersOnSeveralThreadsComeInDueOrderThenStartOrder) {
    auto otherThread = makeThread("other");
    const auto otherId = threadIdOf(*otherThread);
    RecordingObj* other = nullptr;
    runOn(*otherThread, [&] { other = new RecordingObj("other", &rec); });

    NQTimer late("late"), firstOfTie("firstOfTie"), secondOfTie("secondOfTie");
    late.setSingleShot(true);
    firstOfTie.setSingleShot(true);
    secondOfTie.setSingleShot(true);
    late.start(3000, receiver);
    firstOfTie.start(2000, other);
    secondOfTie.start(2000, receiver);

    NQClock::advance(5000);
    auto ticks = ticksOnly(rec);
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_EQ(ticks[0].wParam, firstOfTie.getTimerID());
    EXPECT_EQ(ticks[0].thread, otherId);
    EXPECT_EQ(ticks[1].wParam, secondOfTie.getTimerID());
    EXPECT_EQ(ticks[1].thread, threadId);
    EXPECT_EQ(ticks[2].wParam, late.getTimerID());
    EXPECT_EQ(ticks[2].lParam, base + 3000);

    runOn(*otherThread, [&] { delete other; });
}

TEST_F(ManualClockTimers, RepeatingTimerReArmsFromItsDueTime) {
    NQTimer timer("repeat");
    timer.start(1000, receiver);
    NQClock::advance(3500);
    auto ticks = ticksOnly(rec);
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_EQ(ticks[0].lParam, base + 1000);
    EXPECT_EQ(ticks[1].lParam, base + 2000);
    EXPECT_EQ(ticks[2].lParam, base + 3000);
    NQClock::advance(500);
    EXPECT_EQ(ticksOnly(rec).size(), 4u);
}

TEST_F(ManualClockTimers, RestartWhileRunningGivesExactlyOneSchedule) {
    NQTimer timer("restart");
    timer.start(1000, receiver);
    NQClock::advance(500);
    timer.start(1000, receiver);
    NQClock::advance(2000);
    auto ticks = ticksOnly(rec);
    ASSERT_EQ(ticks.size(), 2u);
    EXPECT_EQ(ticks[0].lParam, base + 1500);
    EXPECT_EQ(ticks[1].lParam, base + 2500);
}

TEST_F(ManualClockTimers, SingleShotFiresOnce) {
    NQTimer timer("once");
    timer.setSingleShot(true);
    timer.start(1000, receiver);
    EXPECT_TRUE(timer.isActive());
    NQClock::advance(10000);
    EXPECT_EQ(ticksOnly(rec).size(), 1u);
    EXPECT_FALSE(timer.isActive());
}

TEST_F(ManualClockTimers, StopEndsTheTicks) {
    NQTimer timer("stopped");
    timer.start(1000, receiver);
    NQClock::advance(2500);
    timer.stop();
    EXPECT_FALSE(timer.isActive());
    NQClock::advance(5000);
    EXPECT_EQ(ticksOnly(rec).size(), 2u);
}

TEST_F(ManualClockTimers, StopOnTheReceiversThreadDropsATickAlreadyDue) {
    NQTimer timer("dropped");
    timer.start(1000, receiver);
    // The receiver's loop is busy until the clock has reached the due time, so
    // the tick is queued behind this closure, which then stops the timer.
    postFn(*thread, [&] {
        while (NQClock::steadyMs() < base + 1000) std::this_thread::yield();
        timer.stop();
    });
    std::thread advancer([] { NQClock::advance(1000); });
    advancer.join();
    EXPECT_EQ(ticksOnly(rec).size(), 0u);
}

TEST_F(ManualClockTimers, TimerDestroyedOnTheReceiversThreadWhileATickIsQueued) {
    auto* timer = new NQTimer("destroyed");
    timer->start(1000, receiver, new CountingSlot(&rec));
    postFn(*thread, [&] {
        while (NQClock::steadyMs() < base + 1000) std::this_thread::yield();
        delete timer;
    });
    std::thread advancer([] { NQClock::advance(3000); });
    advancer.join();
    EXPECT_EQ(rec.size(), 0u);
    EXPECT_EQ(CountingSlot::live.load(), 0);
}

TEST_F(ManualClockTimers, ASlotTimerCallsItsSlotOnTheReceiversThreadAndFreesIt) {
    NQTimer timer("slot");
    timer.setSingleShot(true);
    timer.start(1000, receiver, new CountingSlot(&rec, 7));
    EXPECT_EQ(CountingSlot::live.load(), 1);
    NQClock::advance(1000);
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec.events()[0].type, -2);
    EXPECT_EQ(rec.events()[0].wParam, 7);
    EXPECT_EQ(rec.events()[0].thread, threadId);

    timer.start(1000, receiver, new CountingSlot(&rec, 8));  // the first slot goes
    EXPECT_EQ(CountingSlot::live.load(), 1);
    timer.stop();
    EXPECT_EQ(CountingSlot::live.load(), 0);
}

TEST_F(ManualClockTimers, ATickForADeadReceiverIsSkipped) {
    RecordingObj* doomed = nullptr;
    runOn(*thread, [&] { doomed = new RecordingObj("doomed", &rec); });
    NQTimer timer("orphan");
    timer.start(1000, doomed);
    runOn(*thread, [&] { delete doomed; });
    NQClock::advance(3000);
    EXPECT_EQ(rec.size(), 0u);
}

// Starts a second timer from the first one's tick, as the worker starts its
// retry pause from an answer.
class Chainer : public RecordingObj {
public:
    Chainer(Recorder* rec, NQTimer* first, NQTimer* second) : RecordingObj("chainer", rec), first_(first), second_(second) {}
    void timerMsg(int id) override {
        RecordingObj::timerMsg(id);
        if (id == first_->getTimerID()) {
            second_->setSingleShot(true);
            second_->start(500, this);
        }
    }

private:
    NQTimer* first_;
    NQTimer* second_;
};

TEST_F(ManualClockTimers, ATimerStartedByATickFiresWithinTheSameAdvance) {
    NQTimer first("first"), second("second");
    Chainer* chainer = nullptr;
    runOn(*thread, [&] { chainer = new Chainer(&rec, &first, &second); });
    first.setSingleShot(true);
    first.start(1000, chainer);
    NQClock::advance(2000);
    auto ticks = ticksOnly(rec);
    ASSERT_EQ(ticks.size(), 2u);
    EXPECT_EQ(ticks[1].wParam, second.getTimerID());
    EXPECT_EQ(ticks[1].lParam, base + 1500);
    runOn(*thread, [&] { delete chainer; });
}

TEST_F(ManualClockTimers, SwitchingBackToRealTimeDropsManualTimers) {
    NQTimer timer("manual");
    timer.start(1000, receiver);
    NQClock::useReal();
    EXPECT_FALSE(timer.isActive());
    NQClock::useManual(kWallStart);
}

TEST(RuntimeTimer, TimerIdsAreDistinct) {
    std::set<int> ids;
    std::vector<std::unique_ptr<NQTimer>> timers;
    for (int i = 0; i < 100; ++i) {
        timers.push_back(std::make_unique<NQTimer>("t"));
        ids.insert(timers.back()->getTimerID());
    }
    EXPECT_EQ(ids.size(), 100u);
}

TEST(RuntimeTimer, StartWithoutAnyLoopLogsAndStaysInactive) {
    testsupport::LogCapture log;
    RecordingObj loose("loose");
    NQTimer timer("homeless");
    timer.start(10, &loose, new CountingSlot(nullptr));
    EXPECT_FALSE(timer.isActive());
    EXPECT_EQ(CountingSlot::live.load(), 0);
    EXPECT_EQ(log.count("NQTimer homeless: receiver has no event loop; not started"), 1);
}

class RealTimeTimers : public ::testing::Test {
protected:
    void SetUp() override {
        thread = makeThread("real");
        threadId = threadIdOf(*thread);
        runOn(*thread, [&] { receiver = new RecordingObj("receiver", &rec); });
    }
    void TearDown() override {
        runOn(*thread, [&] { delete receiver; });
        thread.reset();
    }
    Recorder rec;
    std::unique_ptr<NQThread> thread;
    std::thread::id threadId;
    RecordingObj* receiver = nullptr;
};

TEST_F(RealTimeTimers, RepeatingTimerTicksOnTheReceiversThread) {
    NQTimer timer("real");
    timer.start(2, receiver);
    ASSERT_TRUE(rec.waitForCount(3));
    timer.stop();
    for (const Event& e : rec.events()) {
        EXPECT_EQ(e.thread, threadId);
        EXPECT_EQ(e.wParam, timer.getTimerID());
    }
}

TEST_F(RealTimeTimers, SingleShotTicksOnceAndEnds) {
    NQTimer timer("once");
    timer.setSingleShot(true);
    timer.start(1, receiver);
    ASSERT_TRUE(rec.waitForCount(1));
    EXPECT_FALSE(timer.isActive());
}

TEST_F(RealTimeTimers, TicksDueWhileTheReceiverIsBusyAreDroppedByStopAndRestart) {
    NQTimer stopped("stopped"), restarted("restarted");
    runOn(*thread, [&] {
        stopped.start(1, receiver);
        restarted.start(1, receiver);
        NQBase::mSleep(20);  // both are due while this handler runs
        stopped.stop();
        restarted.start(600000, receiver);
    });
    // Two round trips through the queue: anything already due has been handled.
    runOn(*thread, [&] { postFn(*thread, [] {}); });
    runOn(*thread, [] {});
    EXPECT_EQ(rec.size(), 0u);
    EXPECT_TRUE(restarted.isActive());
}

TEST_F(RealTimeTimers, DestroyingATimerWithATickDueDoesNotCrash) {
    runOn(*thread, [&] {
        auto* timer = new NQTimer("brief");
        timer->start(1, receiver, new CountingSlot(&rec));
        NQBase::mSleep(10);
        delete timer;
    });
    runOn(*thread, [] {});
    EXPECT_EQ(rec.size(), 0u);
    EXPECT_EQ(CountingSlot::live.load(), 0);
}

}  // namespace
