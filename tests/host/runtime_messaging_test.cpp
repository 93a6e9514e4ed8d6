// Messages and signals: posting to objects on their threads and by name, thread
// stop and wait, connect/emit/disConnect, and what the death of either end does.
#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "NQTimer.h"
#include "runtimeTestUtil.h"

using namespace runtimetest;
using NQBase::postMsgToNamed;

namespace {

constexpr uint32_t kForever = 0xFFFFFFFF;
constexpr int kSig = 5;

class RuntimeMessaging : public LoopTest {
protected:
    // connect is called on the receiver's thread.
    void connect(NQMsgObj* to, const NQMsgObj* from, int id, int tag = 0, NQThread* on = nullptr) {
        runOn(on ? *on : *thread, [&] { to->connect(from, id, new CountingSlot(&rec, tag)); });
    }
    int emit(const NQMsgObj& from, int id = kSig) { return from.emitSignal(id, new CountedMsg(id)); }
};

TEST_F(RuntimeMessaging, PostsFromSeveralThreadsKeepEachPostersOrderAndDestroyingTheThreadHandlesTheRest) {
    constexpr int kPosters = 4, kEach = 2000;
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) EXPECT_TRUE(obj->postMsg(new CountedMsg(7, p, i), nullptr));
        });
    }
    for (auto& t : posters) t.join();
    ASSERT_TRUE(rec.waitForCount(kPosters * kEach));
    std::map<int64_t, int64_t> next;
    for (const Event& e : rec.events()) {
        EXPECT_EQ(e.thread, threadId);
        EXPECT_EQ(e.lParam, next[e.wParam]++) << "poster " << e.wParam;
    }
    for (int i = 0; i < 10; ++i) obj->postMsg(new CountedMsg(3), nullptr);
    thread.reset();  // stops, handles what was queued, joins
    EXPECT_EQ(rec.size(), kPosters * kEach + 10u);
    delete obj;
    RecordingObj loose("loose", &rec);  // made on the test thread, which runs no loop: refused and freed
    EXPECT_FALSE(loose.postMsg(new CountedMsg(1), nullptr));
    EXPECT_FALSE(postMsgToNamed("loose", new CountedMsg(1)));
    EXPECT_FALSE(postMsgToNamed("nobody-has-this-name", new CountedMsg(1)));
}

// A handler that queues its own successor keeps the loop's queue from ever
// emptying; timers (and connections) must still get their turn between calls.
TEST_F(RuntimeMessaging, ALoopFloodedByItsOwnPostsStillServesItsTimers) {
    std::atomic<bool> ticked{false};
    std::atomic<int64_t> handled{0};
    NQBase::NQSemaphore floodEnded;
    // One call is queued at a time; the one that sees the tick queues no
    // successor and says so. Waiting for that (not merely for a call queued
    // after the tick, which an in-flight call can still overtake) is what
    // keeps a queued call from outliving the captures below.
    std::function<void()> again = [&] {
        ++handled;
        if (!ticked.load()) {
            postFn(*thread, again);
        } else {
            floodEnded.signal();
        }
    };
    NQBase::NQTimer timer("flood");
    runOn(*thread, [&] {
        timer.setSingleShot(true);
        timer.start(1, obj);
        postFn(*thread, again);
    });
    const bool tickArrived = rec.waitForCount(1);
    ticked.store(true);
    EXPECT_TRUE(tickArrived) << "the timer starved behind " << handled.load() << " queued calls";
    ASSERT_TRUE(floodEnded.wait(kLimitMs));
    runOn(*thread, [] {});  // the last call has returned once this comes round
    EXPECT_GT(handled.load(), 0);
}

// Recycled messages come back with their parameter nodes: each handler must
// still see exactly the parameters its poster set, never a predecessor's.
TEST_F(RuntimeMessaging, RecycledMessagesCarryOnlyTheirOwnParameters) {
    struct ParamsObj : NQMsgObj {
        ParamsObj() : NQMsgObj("params") {}
        void handMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj*) override {
            std::string text = std::to_string(msg->typeId) + ":";
            for (const auto& [key, value] : msg->params) text += key + "=" + value.toString() + ";";
            seen.push_back(text);
        }
        std::vector<std::string> seen;  // on the loop thread only
    };
    ParamsObj* target = nullptr;
    runOn(*thread, [&] { target = new ParamsObj; });
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        NQMsg* msg = NQBase::newRecycledMsg(NQBase::getMsgSN(), i % 3);
        std::string text = std::to_string(i % 3) + ":";
        if (i % 3 != 2) NQBase::setMsgParam(msg, "b", std::string("a long value that leaves the small buffer ") + std::to_string(i));
        if (i % 3 == 0) NQBase::setMsgParam(msg, "a", std::to_string(i));
        for (const auto& [key, value] : msg->params) text += key + "=" + value.toString() + ";";
        expected.push_back(text);
        ASSERT_TRUE(target->postMsg(msg, nullptr));
    }
    std::vector<std::string> seen;
    runOn(*thread, [&] {
        seen = target->seen;
        delete target;
    });
    EXPECT_EQ(seen, expected);
}

TEST_F(RuntimeMessaging, StopEndsTheLoopOnlyAfterEverythingPostedBeforeIt) {
    NQBase::NQSemaphore gate;
    postFn(*thread, [&] { gate.wait(kLimitMs); });  // a deliberately slow consumer
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(obj->postMsg(new CountedMsg(12, 0, i), nullptr));
    thread->stop(0, false);
    // Behind the stop while the loop still runs: accepted, never handled, freed with the thread.
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(obj->postMsg(new CountedMsg(13), nullptr));
    EXPECT_FALSE(thread->wait(20));  // times out while the loop still runs
    gate.signal();
    ASSERT_TRUE(thread->wait(kForever));
    EXPECT_TRUE(thread->wait(0));  // already ended
    EXPECT_EQ(rec.size(), 200u);
    EXPECT_FALSE(obj->postMsg(new CountedMsg(1), nullptr));  // the loop has ended: refused
    EXPECT_EQ(CountedMsg::live.load(), 5);
    thread.reset();
    delete obj;
}

TEST_F(RuntimeMessaging, StopAndWaitFromTheLoopsOwnHandlerDoesNotDeadlock) {
    NQThread* raw = thread.get();
    std::atomic<bool> waitResult{true};
    postFn(*thread, [raw, &waitResult] {
        raw->stop(0, true);
        waitResult = raw->wait(kForever);
    });
    EXPECT_TRUE(thread->wait(kForever));
    EXPECT_FALSE(waitResult.load());  // a loop cannot wait for itself
    thread.reset();
    delete obj;
}

TEST_F(RuntimeMessaging, HandlerGetsTheSenderOrNullOnceTheSenderDiedAndAThrowIsLogged) {
    testsupport::LogCapture log;
    auto sender = std::make_unique<RecordingObj>("sender");
    const NQMsgObj* senderWhileAlive = sender.get();
    obj->postMsg(new CountedMsg(1), sender.get());
    ASSERT_TRUE(rec.waitForCount(1));
    NQBase::NQSemaphore gate;
    postFn(*thread, [&] {
        gate.wait(kLimitMs);
        throw std::runtime_error("boom");  // logged; the loop carries on
    });
    obj->postMsg(new CountedMsg(2), sender.get());
    sender.reset();
    gate.signal();
    obj->postMsg(new CountedMsg(3), obj);  // an object posting to itself
    ASSERT_TRUE(rec.waitForCount(3));
    EXPECT_EQ(rec.events()[0].sender, senderWhileAlive);
    EXPECT_EQ(rec.events()[1].sender, nullptr);
    EXPECT_EQ(rec.events()[2].sender, obj);
    EXPECT_EQ(log.count("exception in handMsg: boom"), 1);
}

TEST_F(RuntimeMessaging, WorkAskedForByAHandlerRunsAsItReturnsBeforeAnythingElse) {
    std::vector<std::string> order;  // loop thread only
    EXPECT_FALSE(NQBase::runAfterHandler([] {}));  // no loop on this thread
    postFn(*thread, [&] {
        order.push_back("handler");
        EXPECT_TRUE(NQBase::runAfterHandler([&] {
            order.push_back("after");
            EXPECT_TRUE(NQBase::runAfterHandler([&] { order.push_back("after the after"); }));
        }));
        throw std::runtime_error("a throwing handler still gets its work run");
    });
    postFn(*thread, [&] { order.push_back("next"); });
    flush();
    EXPECT_EQ(order, (std::vector<std::string>{"handler", "after", "after the after", "next"}));
}

TEST_F(RuntimeMessaging, PostByNameReachesTheNewestLiveObjectOfThatName) {
    Recorder older, newer;
    RecordingObj* a = newObj("svc", nullptr, &older);
    RecordingObj* b = newObj("svc", nullptr, &newer);
    EXPECT_TRUE(postMsgToNamed("svc", new CountedMsg(1)));
    ASSERT_TRUE(newer.waitForCount(1));
    runOn(*thread, [&] { delete b; });
    EXPECT_TRUE(postMsgToNamed("svc", new CountedMsg(2)));
    ASSERT_TRUE(older.waitForCount(1));
    EXPECT_EQ(older.events()[0].type, 2);
    EXPECT_EQ(newer.size(), 1u);
    runOn(*thread, [&] { delete a; });
    EXPECT_FALSE(postMsgToNamed("svc", new CountedMsg(3)));
}

TEST_F(RuntimeMessaging, OneEmissionReachesEveryBindingOnItsReceiversThread) {
    auto otherThread = makeThread("other");
    RecordingObj* other = newObj("other", otherThread.get());
    RecordingObj sender("sender");  // no loop of its own
    connect(obj, &sender, kSig, 1);
    connect(obj, &sender, kSig, 2);  // a second binding adds a second call
    connect(other, &sender, kSig, 3, otherThread.get());
    connect(obj, nullptr, kSig);  // no sender: the slot is freed
    int reached = -1;
    std::thread([&] { reached = emit(sender); }).join();
    EXPECT_EQ(reached, 3);
    ASSERT_TRUE(rec.waitForCount(3));
    std::set<int64_t> tags;
    for (const Event& e : rec.events()) {
        tags.insert(e.wParam);
        EXPECT_EQ(e.thread == threadId, e.wParam != 3);
        EXPECT_EQ(e.sender, &sender);
        EXPECT_EQ(e.msg, rec.events()[0].msg);  // one message, shared
    }
    EXPECT_EQ(tags, (std::set<int64_t>{1, 2, 3}));
    EXPECT_EQ(emit(sender, kSig + 1), 0);  // no binding: freed
    runOn(*otherThread, [&] { delete other; });
}

TEST_F(RuntimeMessaging, DisconnectAndTheDeathOfEitherEndDropWhatIsAlreadyQueued) {
    RecordingObj sender("sender");
    auto dyingSender = std::make_unique<RecordingObj>("dyingSender");
    RecordingObj* disconnected = newObj("disconnected");
    RecordingObj* doomed = newObj("doomed");
    connect(disconnected, &sender, kSig);
    connect(doomed, &sender, kSig);
    connect(obj, dyingSender.get(), kSig);
    NQBase::NQSemaphore gate;
    postFn(*thread, [&] {
        gate.wait(kLimitMs);
        disconnected->disConnect(&sender, -1);
        delete doomed;  // on its own thread, with messages and emissions for it still queued
    });
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(doomed->postMsg(new CountedMsg(4), i % 2 ? doomed : nullptr));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(emit(sender), 2);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(emit(*dyingSender), 1);
    dyingSender.reset();  // on its own (loop-less) thread
    EXPECT_EQ(CountingSlot::live.load(), 2);  // its slot went with it
    gate.signal();
    flush();
    EXPECT_EQ(rec.size(), 0u);
    EXPECT_EQ(CountingSlot::live.load(), 0);
    EXPECT_EQ(emit(sender), 0);
    runOn(*thread, [&] { delete disconnected; });
}

TEST_F(RuntimeMessaging, DisconnectGoesByIdAndBySender) {
    RecordingObj senderA("a"), senderB("b");
    connect(obj, &senderA, 1, 1);
    connect(obj, &senderA, 2, 2);
    connect(obj, &senderB, 1, 3);
    runOn(*thread, [&] { obj->disConnect(&senderA, 1); });
    EXPECT_EQ(CountingSlot::live.load(), 2);
    EXPECT_EQ(emit(senderA, 1), 0);
    EXPECT_EQ(emit(senderA, 2), 1);
    ASSERT_TRUE(rec.waitForCount(1));
    EXPECT_EQ(rec.events()[0].wParam, 2);
    runOn(*thread, [&] { obj->disConnect(&senderA, -1); });
    EXPECT_EQ(CountingSlot::live.load(), 1);
    EXPECT_EQ(emit(senderB, 1), 1);
}

// Member-function slots, as the library binds them.
struct SlotOwner {
    void withMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender) { got.push_back({msg->typeId, sender}); }
    void noMsg() { got.push_back({0, nullptr}); }
    std::vector<std::pair<int, const NQMsgObj*>> got;
};

TEST(RuntimeSlot, MemberFunctionSlotsGetTheMessageAndSenderOrNothing) {
    SlotOwner owner;
    NQBase::NQMsgHander<SlotOwner> withMsg(&owner, &SlotOwner::withMsg), noMsg(&owner, &SlotOwner::noMsg);
    RecordingObj sender("sender");
    withMsg.call(std::make_shared<NQMsg>(1, 9), &sender);
    noMsg.call(std::make_shared<NQMsg>(1, 9), &sender);
    noMsg.call();
    using Got = std::vector<std::pair<int, const NQMsgObj*>>;
    EXPECT_EQ(owner.got, (Got{{9, &sender}, {0, nullptr}, {0, nullptr}}));
}

TEST_F(RuntimeMessaging, PostsAndEmissionsRacingWithTheReceiversDeathNeverReachIt) {
    RecordingObj sender("sender");
    for (int round = 0; round < 200; ++round) {
        RecordingObj* racer = newObj("racer");
        connect(racer, &sender, kSig);
        std::atomic<int> sent{0};  // bounded bursts, so the death below overlaps them
        std::vector<std::thread> posters;
        for (int t = 0; t < 2; ++t) {
            posters.emplace_back([&] {
                for (int i = 0; i < 200; ++i, ++sent) {
                    postMsgToNamed("racer", new CountedMsg(1));
                    emit(sender);
                }
            });
        }
        while (sent.load() < 5) std::this_thread::yield();
        runOn(*thread, [&] { delete racer; });
        const size_t handledBeforeDeath = rec.size();
        EXPECT_FALSE(postMsgToNamed("racer", new CountedMsg(1)));  // the name is gone with the object
        EXPECT_EQ(emit(sender), 0);
        for (auto& t : posters) t.join();
        flush();
        EXPECT_EQ(rec.size(), handledBeforeDeath) << "round " << round;
        EXPECT_EQ(CountingSlot::live.load(), 0);
    }
}

TEST(RuntimeSerial, SerialNumbersArePositiveDistinctAndIncreasingPerThread) {
    std::vector<std::vector<int32_t>> seen(4);
    std::vector<std::thread> threads;
    for (auto& list : seen) {
        threads.emplace_back([&list] {
            for (int i = 0; i < 10000; ++i) list.push_back(NQBase::getMsgSN());
        });
    }
    for (auto& t : threads) t.join();
    std::set<int32_t> all;
    for (const auto& list : seen) {
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
        all.insert(list.begin(), list.end());
    }
    EXPECT_EQ(all.size(), 40000u);  // distinct, so increasing strictly
    EXPECT_GT(*all.begin(), 0);
}

TEST(RuntimeSemaphore, WaitTimesOutWithoutSignalAndConsumesOne) {
    NQBase::NQSemaphore sem(0);
    EXPECT_FALSE(sem.wait(10));
    std::thread signaller([&] { sem.signal(); });
    EXPECT_TRUE(sem.wait(-1));
    signaller.join();
    EXPECT_FALSE(sem.wait(0));
}

}  // namespace
