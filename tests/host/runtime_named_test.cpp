// postMsgToNamed: the registry of names, and posting that races with the
// destruction of the named object.
#include <gtest/gtest.h>

#include "runtimeTestUtil.h"

using namespace runtimetest;
using NQBase::postMsgToNamed;

namespace {

class RuntimeNamed : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(CountedMsg::live.load(), 0) << "messages leaked"; }
};

TEST_F(RuntimeNamed, PostReachesTheNewestLiveObjectOfThatName) {
    Recorder older, newer;
    auto thread = makeThread("named");
    RecordingObj* a = nullptr;
    RecordingObj* b = nullptr;
    runOn(*thread, [&] {
        a = new RecordingObj("svc", &older);
        b = new RecordingObj("svc", &newer);
    });

    EXPECT_TRUE(postMsgToNamed("svc", new CountedMsg(1)));
    ASSERT_TRUE(newer.waitForCount(1));
    EXPECT_EQ(older.size(), 0u);

    runOn(*thread, [&] { delete b; });
    EXPECT_TRUE(postMsgToNamed("svc", new CountedMsg(2)));
    ASSERT_TRUE(older.waitForCount(1));
    EXPECT_EQ(older.events()[0].type, 2);

    runOn(*thread, [&] { delete a; });
    EXPECT_FALSE(postMsgToNamed("svc", new CountedMsg(3)));
}

TEST_F(RuntimeNamed, AnUnknownNameFailsAndFreesTheMessage) {
    EXPECT_FALSE(postMsgToNamed("nobody-has-this-name", new CountedMsg(1)));
    EXPECT_EQ(CountedMsg::live.load(), 0);
}

TEST_F(RuntimeNamed, ANamedObjectWithoutLoopRefusesTheMessage) {
    RecordingObj loose("loose-named");
    EXPECT_FALSE(postMsgToNamed("loose-named", new CountedMsg(1)));
}

// A named object whose death is visible to the test.
class Watched : public RecordingObj {
public:
    Watched(Recorder* rec, std::atomic<int>* handledAfterDeath, std::atomic<bool>* dead)
        : RecordingObj("racer", rec), handledAfterDeath_(handledAfterDeath), dead_(dead) {}
    ~Watched() override { dead_->store(true); }
    void handMsg(const std::shared_ptr<NQMsg>& msg, const NQMsgObj* sender) override {
        if (dead_->load()) ++*handledAfterDeath_;
        RecordingObj::handMsg(msg, sender);
    }

private:
    std::atomic<int>* handledAfterDeath_;
    std::atomic<bool>* dead_;
};

TEST_F(RuntimeNamed, PostingRacingWithDestructionNeverReachesADeadObject) {
    auto thread = makeThread("race");
    constexpr int kBurst = 200;
    std::atomic<int> handledAfterDeath{0};
    for (int round = 0; round < 300; ++round) {
        Recorder rec;
        std::atomic<bool> dead{false};
        Watched* target = nullptr;
        runOn(*thread, [&] { target = new Watched(&rec, &handledAfterDeath, &dead); });

        // Each poster sends a bounded burst, so the destruction queued below
        // overlaps the posting instead of waiting behind a flood.
        std::atomic<int> accepted{0};
        std::vector<std::thread> posters;
        for (int t = 0; t < 2; ++t) {
            posters.emplace_back([&] {
                for (int i = 0; i < kBurst; ++i) {
                    if (postMsgToNamed("racer", new CountedMsg(1))) ++accepted;
                }
            });
        }
        while (accepted.load() < 5) std::this_thread::yield();
        runOn(*thread, [&] { delete target; });
        // The name is gone with the object.
        for (int i = 0; i < 20; ++i) EXPECT_FALSE(postMsgToNamed("racer", new CountedMsg(1)));
        for (auto& t : posters) t.join();
        runOn(*thread, [] {});
        EXPECT_LE(rec.size(), static_cast<size_t>(accepted.load()));
    }
    EXPECT_EQ(handledAfterDeath.load(), 0);
}

}  // namespace
