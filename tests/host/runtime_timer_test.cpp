// Timers on the manual clock (deterministic) and on real time.
#include <algorithm>

#include "NQTimer.h"
#include "runtimeTestUtil.h"

using namespace runtimetest;
using NQBase::NQTimer;
namespace NQClock = NQBase::NQClock;

namespace {

using Ticks = std::vector<std::pair<int64_t, int64_t>>;  // (timer id, ms since base) or (slot tag, -2)

class ManualClockTimers : public LoopTest {
protected:
    void SetUp() override {
        NQClock::useManual(1700000000000);
        base = NQClock::steadyMs();
        LoopTest::SetUp();
    }
    void TearDown() override {
        LoopTest::TearDown();
        NQClock::useReal();
    }
    Ticks ticks() const {
        Ticks out;
        for (const Event& e : rec.events()) out.emplace_back(e.wParam, e.type == -1 ? e.lParam - base : e.type);
        return out;
    }
    // Keeps the loop busy until the clock reaches base + ms, so a tick due then
    // queues behind, then runs fn there.
    void onLoopOnceDue(int64_t ms, std::function<void()> fn) {
        postFn(*thread, [due = base + ms, fn] {
            while (NQClock::steadyMs() < due) std::this_thread::yield();
            fn();
        });
    }
    int64_t base = 0;
};

TEST_F(ManualClockTimers, AdvanceFiresDueTimersInDueOrderOnTheReceiversThread) {
    NQTimer report("logRptTimer"), dump("logRptDumpTimer");
    const int r = report.getTimerID(), d = dump.getTimerID();
    EXPECT_NE(r, d);
    report.start(60000, obj);
    dump.setSingleShot(true);
    dump.start(1000, obj);
    NQClock::advance(61000);
    EXPECT_EQ(ticks(), (Ticks{{d, 1000}, {r, 60000}}));
    for (const Event& e : rec.events()) EXPECT_EQ(e.thread, threadId);
    EXPECT_FALSE(dump.isActive());
    EXPECT_TRUE(report.isActive());
    NQClock::advance(119000);  // a repeating timer re-arms from its due time
    EXPECT_EQ(ticks(), (Ticks{{d, 1000}, {r, 60000}, {r, 120000}, {r, 180000}}));
    EXPECT_EQ(NQClock::steadyMs(), base + 180000);
    report.stop();
    EXPECT_FALSE(report.isActive());
    dump.start(1000, obj);  // a restart while running gives exactly one schedule
    NQClock::advance(500);
    dump.start(1000, obj);
    NQClock::advance(60000);
    EXPECT_EQ(ticks(), (Ticks{{d, 1000}, {r, 60000}, {r, 120000}, {r, 180000}, {d, 181500}}));
    dump.start(1000, obj);
    NQClock::useReal();  // drops the timers on the manual clock
    EXPECT_FALSE(dump.isActive());
}

TEST_F(ManualClockTimers, TicksOfTimersOnSeveralThreadsComeInDueOrderThenStartOrder) {
    auto otherThread = makeThread("other");
    RecordingObj* other = newObj("other", otherThread.get());
    NQTimer late("late"), firstOfTie("firstOfTie"), secondOfTie("secondOfTie");
    for (NQTimer* t : {&late, &firstOfTie, &secondOfTie}) t->setSingleShot(true);
    late.start(3000, obj);
    firstOfTie.start(2000, other);
    secondOfTie.start(2000, obj);
    NQClock::advance(5000);
    const Ticks expected{{firstOfTie.getTimerID(), 2000}, {secondOfTie.getTimerID(), 2000}, {late.getTimerID(), 3000}};
    EXPECT_EQ(ticks(), expected);
    EXPECT_NE(rec.events()[0].thread, threadId);
    runOn(*otherThread, [&] { delete other; });
}

TEST_F(ManualClockTimers, StopOrDestructionOnTheReceiversThreadDropsATickAlreadyQueued) {
    NQTimer stopped("stopped");
    stopped.start(1000, obj);
    onLoopOnceDue(1000, [&] { stopped.stop(); });
    NQClock::advance(1000);
    auto* destroyed = new NQTimer("destroyed");
    destroyed->start(1000, obj, new CountingSlot(&rec));
    onLoopOnceDue(2000, [destroyed] { delete destroyed; });
    NQClock::advance(3000);
    EXPECT_EQ(rec.size(), 0u);
}

// A slot running a closure.
struct FnSlot : NQBase::NQMsgFuncBase {
    explicit FnSlot(std::function<void()> f) : fn(std::move(f)) {}
    void call(const std::shared_ptr<NQMsg>&, const NQMsgObj*) override { fn(); }
    void call() override { fn(); }
    std::function<void()> fn;
};

TEST_F(ManualClockTimers, SlotsAreCalledOnTheReceiversThreadAndFreedWithTheirSchedule) {
    NQTimer once("once"), chained("chained"), orphan("orphan");
    once.setSingleShot(true);
    chained.setSingleShot(true);
    once.start(1000, obj, new CountingSlot(&rec, 7));
    NQClock::advance(1000);
    EXPECT_EQ(ticks(), (Ticks{{7, -2}}));
    EXPECT_EQ(rec.events()[0].thread, threadId);
    once.start(1000, obj, new FnSlot([&] { chained.start(500, obj); }));  // the first slot goes
    EXPECT_EQ(CountingSlot::live.load(), 0);
    RecordingObj* doomed = newObj("doomed");
    orphan.start(100, doomed, new CountingSlot(&rec, 9));
    runOn(*thread, [&] { delete doomed; });  // its ticks go nowhere
    NQClock::advance(2000);  // a timer started by a tick fires within the same advance
    EXPECT_EQ(ticks(), (Ticks{{7, -2}, {chained.getTimerID(), 2500}}));
    orphan.stop();
    EXPECT_EQ(CountingSlot::live.load(), 0);
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

using RealTimeTimers = LoopTest;

TEST_F(RealTimeTimers, TicksOnTheReceiversThreadAndStopRestartOrDestructionDropTicksAlreadyDue) {
    NQTimer repeating("repeating"), once("once"), stopped("stopped"), restarted("restarted");
    once.setSingleShot(true);
    once.start(1, obj);
    repeating.start(2, obj);
    ASSERT_TRUE(rec.waitForCount(4));
    repeating.stop();
    EXPECT_FALSE(once.isActive());
    const auto events = rec.events();
    for (const Event& e : events) EXPECT_EQ(e.thread, threadId);
    const int onceId = once.getTimerID();
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.wParam == onceId; }), 1);
    const size_t before = rec.size();
    runOn(*thread, [&] {
        auto* destroyed = new NQTimer("destroyed");
        destroyed->start(1, obj, new CountingSlot(&rec));
        stopped.start(1, obj);
        restarted.start(1, obj);
        NQBase::mSleep(20);  // all are due while this handler runs
        delete destroyed;
        stopped.stop();
        restarted.start(600000, obj);
    });
    runOn(*thread, [&] { postFn(*thread, [] {}); });  // two round trips: anything due has been handled
    flush();
    EXPECT_EQ(rec.size(), before);
    EXPECT_TRUE(restarted.isActive());
}

}  // namespace
