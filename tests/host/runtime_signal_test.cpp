// Signals: connect, emitSignal from any thread, disConnect, and what the death
// of a sender or a receiver does to bindings and queued emissions.
#include <gtest/gtest.h>

#include <set>

#include "runtimeTestUtil.h"

using namespace runtimetest;
using NQBase::NQMsgHander;

namespace {

constexpr int kSig = 5;

class RuntimeSignal : public ::testing::Test {
protected:
    void SetUp() override {
        receiverThread = makeThread("receiver");
        receiverThreadId = threadIdOf(*receiverThread);
        runOn(*receiverThread, [&] { receiver = new RecordingObj("receiver"); });
    }
    void TearDown() override {
        runOn(*receiverThread, [&] { delete receiver; });
        receiverThread.reset();
        EXPECT_EQ(CountedMsg::live.load(), 0) << "messages leaked";
        EXPECT_EQ(CountingSlot::live.load(), 0) << "slots leaked";
    }
    // connect is called on the receiver's thread.
    void connectOnReceiver(RecordingObj* to, const NQMsgObj* from, int id, NQBase::NQMsgFuncBase* slot) {
        runOn(*receiverThread, [&] { to->connect(from, id, slot); });
    }
    void flushReceiver() { runOn(*receiverThread, [] {}); }

    Recorder rec;
    std::unique_ptr<NQThread> receiverThread;
    std::thread::id receiverThreadId;
    RecordingObj* receiver = nullptr;  // lives on receiverThread
};

TEST_F(RuntimeSignal, SlotRunsOnTheReceiversThreadWhenTheSenderEmitsFromAnother) {
    RecordingObj sender("sender");  // no loop of its own
    connectOnReceiver(receiver, &sender, kSig, new CountingSlot(&rec, 1));

    int reached = -1;
    std::thread emitter([&] { reached = sender.emitSignal(kSig, new CountedMsg(kSig, 0, 42)); });
    emitter.join();
    EXPECT_EQ(reached, 1);
    ASSERT_TRUE(rec.waitForCount(1));
    Event e = rec.events()[0];
    EXPECT_EQ(e.thread, receiverThreadId);
    EXPECT_EQ(e.sender, &sender);
    EXPECT_EQ(e.type, kSig);
    EXPECT_EQ(e.lParam, 42);

    EXPECT_EQ(sender.emitSignal(kSig + 1, new CountedMsg(kSig + 1)), 0);  // no binding: freed
}

TEST_F(RuntimeSignal, EachEmitterKeepsItsOrder) {
    RecordingObj sender("sender");
    connectOnReceiver(receiver, &sender, kSig, new CountingSlot(&rec));
    constexpr int kEmitters = 3;
    constexpr int kEach = 1000;
    std::vector<std::thread> emitters;
    for (int t = 0; t < kEmitters; ++t) {
        emitters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                auto* msg = new CountedMsg(kSig, t, i);
                msg->lParam = t * kEach + i;
                sender.emitSignal(kSig, msg);
            }
        });
    }
    for (auto& t : emitters) t.join();
    ASSERT_TRUE(rec.waitForCount(kEmitters * kEach));
    std::vector<int64_t> next(kEmitters, 0);
    for (const Event& e : rec.events()) {
        int emitter = static_cast<int>(e.lParam / kEach);
        EXPECT_EQ(e.lParam % kEach, next[emitter]);
        next[emitter] = e.lParam % kEach + 1;
    }
}

TEST_F(RuntimeSignal, OneEmissionIsSharedByEveryBinding) {
    auto otherThread = makeThread("other");
    RecordingObj* other = nullptr;
    runOn(*otherThread, [&] { other = new RecordingObj("other"); });
    RecordingObj sender("sender");
    connectOnReceiver(receiver, &sender, kSig, new CountingSlot(&rec, 1));
    connectOnReceiver(receiver, &sender, kSig, new CountingSlot(&rec, 2));  // a second call
    runOn(*otherThread, [&] { other->connect(&sender, kSig, new CountingSlot(&rec, 3)); });

    EXPECT_EQ(sender.emitSignal(kSig, new CountedMsg(kSig)), 3);
    ASSERT_TRUE(rec.waitForCount(3));
    auto events = rec.events();
    EXPECT_EQ(events[0].msg, events[1].msg);
    EXPECT_EQ(events[0].msg, events[2].msg);
    std::set<int64_t> tags;
    for (const Event& e : events) tags.insert(e.wParam);
    EXPECT_EQ(tags, (std::set<int64_t>{1, 2, 3}));

    runOn(*otherThread, [&] { delete other; });
}

TEST_F(RuntimeSignal, DisconnectDropsEmissionsAlreadyQueued) {
    RecordingObj sender("sender");
    connectOnReceiver(receiver, &sender, kSig, new CountingSlot(&rec));
    Gate gate;
    postFn(*receiverThread, [&] {
        gate.wait();
        receiver->disConnect(&sender, -1);
    });
    for (int i = 0; i < 10; ++i) EXPECT_EQ(sender.emitSignal(kSig, new CountedMsg(kSig)), 1);
    gate.open();
    flushReceiver();
    EXPECT_EQ(rec.size(), 0u);
    EXPECT_EQ(CountingSlot::live.load(), 0);
    EXPECT_EQ(sender.emitSignal(kSig, new CountedMsg(kSig)), 0);
}

TEST_F(RuntimeSignal, DisconnectOfOneIdKeepsTheOtherIds) {
    RecordingObj sender("sender");
    connectOnReceiver(receiver, &sender, 1, new CountingSlot(&rec, 1));
    connectOnReceiver(receiver, &sender, 2, new CountingSlot(&rec, 2));
    runOn(*receiverThread, [&] { receiver->disConnect(&sender, 1); });
    EXPECT_EQ(CountingSlot::live.load(), 1);
    EXPECT_EQ(sender.emitSignal(1, new CountedMsg(1)), 0);
    EXPECT_EQ(sender.emitSignal(2, new CountedMsg(2)), 1);
    ASSERT_TRUE(rec.waitForCount(1));
    EXPECT_EQ(rec.events()[0].wParam, 2);
}

TEST_F(RuntimeSignal, AReceiverThatDiedGetsNothingAlreadyQueued) {
    RecordingObj sender("sender");
    RecordingObj* doomed = nullptr;
    runOn(*receiverThread, [&] { doomed = new RecordingObj("doomed"); });
    connectOnReceiver(doomed, &sender, kSig, new CountingSlot(&rec));
    Gate gate;
    postFn(*receiverThread, [&] {
        gate.wait();
        delete doomed;
    });
    for (int i = 0; i < 10; ++i) sender.emitSignal(kSig, new CountedMsg(kSig));
    gate.open();
    flushReceiver();
    EXPECT_EQ(rec.size(), 0u);
    EXPECT_EQ(CountingSlot::live.load(), 0);
    EXPECT_EQ(sender.emitSignal(kSig, new CountedMsg(kSig)), 0);
}

TEST_F(RuntimeSignal, ASenderThatDiedDeliversNothingAlreadyQueued) {
    auto sender = std::make_unique<RecordingObj>("sender");
    connectOnReceiver(receiver, sender.get(), kSig, new CountingSlot(&rec));
    Gate gate;
    postFn(*receiverThread, [&] { gate.wait(); });
    for (int i = 0; i < 10; ++i) sender->emitSignal(kSig, new CountedMsg(kSig));
    sender.reset();  // on its own (loop-less) thread
    EXPECT_EQ(CountingSlot::live.load(), 0);  // nothing was running the slot
    gate.open();
    flushReceiver();
    EXPECT_EQ(rec.size(), 0u);
}

TEST_F(RuntimeSignal, SlotObjectsAreFreedWhenTheirBindingsGo) {
    RecordingObj senderA("a");
    auto senderB = std::make_unique<RecordingObj>("b");
    RecordingObj* second = nullptr;
    runOn(*receiverThread, [&] { second = new RecordingObj("second"); });
    connectOnReceiver(receiver, &senderA, 1, new CountingSlot(&rec));
    connectOnReceiver(receiver, &senderA, 2, new CountingSlot(&rec));
    connectOnReceiver(receiver, senderB.get(), 1, new CountingSlot(&rec));
    connectOnReceiver(second, &senderA, 1, new CountingSlot(&rec));
    EXPECT_EQ(CountingSlot::live.load(), 4);

    runOn(*receiverThread, [&] { receiver->disConnect(&senderA, -1); });
    EXPECT_EQ(CountingSlot::live.load(), 2);
    senderB.reset();  // sender's death
    EXPECT_EQ(CountingSlot::live.load(), 1);
    runOn(*receiverThread, [&] { delete second; });  // receiver's death
    EXPECT_EQ(CountingSlot::live.load(), 0);
}

TEST_F(RuntimeSignal, ConnectWithoutSenderFreesTheSlot) {
    connectOnReceiver(receiver, nullptr, kSig, new CountingSlot(&rec));
    EXPECT_EQ(CountingSlot::live.load(), 0);
}

// A receiver with member-function slots, as the library binds them.
class SlotOwner : public NQMsgObj {
public:
    explicit SlotOwner(Recorder* rec) : NQMsgObj("SlotOwner"), rec_(rec) {}
    void slot_withMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender) {
        rec_->add({msg->typeId, 1, 0, std::this_thread::get_id(), sender, msg.get()});
    }
    void slot_noMsg() { rec_->add({0, 2, 0, std::this_thread::get_id(), nullptr, nullptr}); }

private:
    Recorder* rec_;
};

TEST_F(RuntimeSignal, MemberFunctionSlotsRunWithAndWithoutTheMessage) {
    RecordingObj sender("sender");
    SlotOwner* owner = nullptr;
    runOn(*receiverThread, [&] {
        owner = new SlotOwner(&rec);
        owner->connect(&sender, 1, new NQMsgHander<SlotOwner>(owner, &SlotOwner::slot_withMsg));
        owner->connect(&sender, 2, new NQMsgHander<SlotOwner>(owner, &SlotOwner::slot_noMsg));
    });
    sender.emitSignal(1, new CountedMsg(1));
    sender.emitSignal(2, new CountedMsg(2));
    ASSERT_TRUE(rec.waitForCount(2));
    auto events = rec.events();
    EXPECT_EQ(events[0].wParam, 1);
    EXPECT_EQ(events[0].sender, &sender);
    EXPECT_EQ(events[0].thread, receiverThreadId);
    EXPECT_EQ(events[1].wParam, 2);
    runOn(*receiverThread, [&] { delete owner; });
}

TEST_F(RuntimeSignal, EmittersRacingWithTheReceiversDeathNeverReachIt) {
    RecordingObj sender("sender");
    for (int round = 0; round < 200; ++round) {
        RecordingObj* doomed = nullptr;
        runOn(*receiverThread, [&] {
            doomed = new RecordingObj("doomed");
            doomed->connect(&sender, kSig, new CountingSlot(&rec));
        });
        // Bounded bursts, so the death queued below overlaps the emissions.
        std::atomic<int> emitted{0};
        std::vector<std::thread> emitters;
        for (int t = 0; t < 2; ++t) {
            emitters.emplace_back([&] {
                for (int i = 0; i < 200; ++i) {
                    sender.emitSignal(kSig, new CountedMsg(kSig));
                    ++emitted;
                }
            });
        }
        while (emitted.load() < 5) std::this_thread::yield();
        runOn(*receiverThread, [&] { delete doomed; });
        size_t deliveredBeforeDeath = rec.size();
        EXPECT_EQ(sender.emitSignal(kSig, new CountedMsg(kSig)), 0);
        for (auto& t : emitters) t.join();
        flushReceiver();
        EXPECT_EQ(rec.size(), deliveredBeforeDeath) << "round " << round;
        EXPECT_EQ(CountingSlot::live.load(), 0);
    }
}

}  // namespace
