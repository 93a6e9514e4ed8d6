// The store's journal and shared flushes, without a server process: what a
// killed server leaves is undone at the next open, what was confirmed stays.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <filesystem>
#include <thread>
#include <vector>

#include "flushSet.h"
#include "groupSync.h"
#include "journal.h"
#include "logStore.h"
#include "testSupport.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace {

namespace fs = std::filesystem;
using logserver::GroupSync;
using logserver::Journal;
using logserver::LogStore;
using logserver::StoreError;

class JournalTest : public ::testing::Test {
protected:
    std::string root() const { return dir_.path(); }
    std::string read(const std::string& rel) const { return testsupport::readFile(root() + "/" + rel); }
    void write(const std::string& rel, const std::string& bytes) const {
        fs::create_directories(fs::path(root() + "/" + rel).parent_path());
        testsupport::writeFile(root() + "/" + rel, bytes);
    }
    // What a server killed at this point left in its journal.
    void killedWith(const std::string& records) const { write("journal/n1/3.log", records); }
    std::vector<std::string> replay() const {
        Journal journal(root(), "n1", false);
        StoreError err;
        std::vector<std::string> notes;
        EXPECT_TRUE(journal.replay(notes, err)) << err.reason;
        return notes;
    }

    testsupport::TempDir dir_;
};

TEST_F(JournalTest, UnconfirmedAppendsAreCutBackAndTheirFilesRemoved) {
    write("errlog/pc/2026-12-01.log", "kept" "half of an unconfirmed append");
    write("reports/n1-8/attachments/0-a", "attachment");
    write("dumps/pc/n1-8.dmp", "MDMP");
    killedWith("A 8 4 errlog/pc/2026-12-01.log\nN 8 reports/n1-8\nN 8 dumps/pc/n1-8.dmp\n");
    const auto notes = replay();
    EXPECT_EQ("kept", read("errlog/pc/2026-12-01.log"));
    EXPECT_FALSE(fs::exists(root() + "/reports/n1-8"));
    EXPECT_FALSE(fs::exists(root() + "/dumps/pc/n1-8.dmp"));
    EXPECT_EQ(3u, notes.size());
    EXPECT_TRUE(fs::is_empty(root() + "/journal/n1")) << "the journal is emptied once replayed";
}

TEST_F(JournalTest, CommittedOrIndexedCommandsAreKept) {
    write("errlog/pc/2026-12-01.log", "firstsecond");
    write("reports/n1-9/report.json", "{}");
    // seq 9 has its index line but died before its commit record.
    write("index/2026-12-01.jsonl", "{\"seq\":8,\"x\":1}\n{\"seq\":9,\"x\":1}\n");
    killedWith("A 8 0 errlog/pc/2026-12-01.log\nC 8\nA 9 5 errlog/pc/2026-12-01.log\nN 9 reports/n1-9\n"
               "A 9 16 index/2026-12-01.jsonl\n");
    EXPECT_TRUE(replay().empty());
    EXPECT_EQ("firstsecond", read("errlog/pc/2026-12-01.log"));
    EXPECT_TRUE(fs::exists(root() + "/reports/n1-9/report.json"));
}

TEST_F(JournalTest, AnIndexLineCutShortDoesNotCountAsStored) {
    write("index/2026-12-01.jsonl", "{\"seq\":8,\"x\":1}\n{\"seq\":9,\"x\"");
    write("reports/n1-9/report.json", "{}");
    killedWith("N 9 reports/n1-9\nA 9 16 index/2026-12-01.jsonl\n");
    replay();
    EXPECT_FALSE(fs::exists(root() + "/reports/n1-9"));
    EXPECT_EQ("{\"seq\":8,\"x\":1}\n", read("index/2026-12-01.jsonl"));
}

// Meta day logs are shared: a confirmed command's bytes after an
// unconfirmed one's stay where its index line says they are.
TEST_F(JournalTest, ASharedLogIsNotCutUnderAConfirmedAppend) {
    write("meta/2026-12-01.log", "AAAABBBB");
    write("meta/2026-12-02.log", "CCCCDDDD");
    killedWith("A 5 0 meta/2026-12-01.log\nA 6 4 meta/2026-12-01.log\nC 6\n"
               "A 7 0 meta/2026-12-02.log\nC 7\nA 8 4 meta/2026-12-02.log\n");
    replay();
    EXPECT_EQ("AAAABBBB", read("meta/2026-12-01.log"));
    EXPECT_EQ("CCCC", read("meta/2026-12-02.log"));
}

TEST_F(JournalTest, DamagedRecordsAndPathsOutsideTheStoreAreIgnored) {
    write("outside.log", "must stay");
    fs::create_directories(root() + "/store");
    write("store/x.log", "xx");
    const std::string store = root() + "/store";
    fs::create_directories(store + "/journal/n1");
    testsupport::writeFile(store + "/journal/n1/1.log",
                           "A 4 0 ../outside.log\nN 4 /etc\nN 4 a/../../outside.log\nA x 0 x.log\nZ 4\nA 5 1 x.log");
    Journal journal(store, "n1", false);
    StoreError err;
    std::vector<std::string> notes;
    ASSERT_TRUE(journal.replay(notes, err));
    EXPECT_EQ("must stay", read("outside.log"));
    EXPECT_EQ("xx", read("store/x.log")) << "a record without its newline was cut short by the kill";
}

// A journal record copying bytes that seq appends to path at offset.
std::string copy(int seq, uint64_t offset, const std::string& bytes, const std::string& path) {
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()),
                            static_cast<uInt>(bytes.size()));
    return "D " + std::to_string(seq) + " " + std::to_string(offset) + " " + std::to_string(bytes.size()) + " " +
           std::to_string(crc) + " " + path + "\n" + bytes + "\n";
}

// The machine went down: what was not flushed of the files is lost, but
// the journal holds copies. Committed commands get their bytes back, the
// zeros an unconfirmed command left before them become a blank line, a copy
// cut short or torn and a file removed since are left alone, and bytes
// inside a copy are never read as records.
TEST_F(JournalTest, CommittedCopiesAreWrittenBackWhereTheMachineLostThem) {
    write("detail/x.log", "head");  // seq 5 to 8 were lost from here
    write("index/2026-12-01.jsonl", "{\"seq\":4}\n");
    write("reports/n1-1/report.json", "{}");
    const std::string forged = "line7\nN 9 reports/n1-1\n";
    std::string torn = copy(10, 0, "torn", "torn.log");
    torn[torn.size() - 3] = 'X';
    write("torn.log", "ok");
    killedWith(copy(5, 4, "line5\n", "detail/x.log") + copy(5, 10, "{\"seq\":5}\n", "index/2026-12-01.jsonl") +
               "C 5\n" + copy(6, 10, "lost6\n", "detail/x.log") + copy(7, 16, forged, "detail/x.log") +
               copy(7, 20, "{\"seq\":7}\n", "index/2026-12-01.jsonl") + copy(7, 0, "gone", "gone.log") + "C 7\n" +
               torn + "C 10\n" + "D 8 38 100 1 detail/x.log\ncut short by the kill");
    const auto notes = replay();
    EXPECT_EQ("headline5\n     \n" + forged, read("detail/x.log"));
    EXPECT_EQ("{\"seq\":4}\n{\"seq\":5}\n{\"seq\":7}\n", read("index/2026-12-01.jsonl"));
    EXPECT_FALSE(fs::exists(root() + "/gone.log"));
    EXPECT_EQ("ok", read("torn.log"));
    EXPECT_TRUE(fs::exists(root() + "/reports/n1-1/report.json")) << "a copy's bytes were read as a record";
    EXPECT_EQ(3u, notes.size());  // two files written back, one blanked
}

// A command killed before its commit record: its copied append is cut back
// like any other; a later replay of the same bytes changes nothing, nor does
// one of bytes their command cut back itself.
TEST_F(JournalTest, AnUncommittedCopyIsCutBackAndARepeatedReplayIsANoOp) {
    write("detail/x.log", "headtail");
    killedWith(copy(5, 0, "head", "detail/x.log") + copy(5, 4, "", "detail/x.log") + "C 5\n" +
               copy(6, 4, "tail", "detail/x.log"));
    EXPECT_EQ(1u, replay().size());
    EXPECT_EQ("head", read("detail/x.log"));
    // seq 9 cut its append back and went on to be stored as a rejected command.
    killedWith(copy(5, 0, "head", "detail/x.log") + "C 5\n" + copy(9, 4, "zzzz", "detail/x.log") +
               "U 9 detail/x.log\nC 9\n");
    EXPECT_TRUE(replay().empty()) << "bytes already in place, or cut back, were written again";
    EXPECT_EQ("head", read("detail/x.log"));
}

// Copies are taken while a command stays small and appends only; its
// segment goes once every command in it has ended and a checkpoint flushed
// the files the copies belong to.
TEST_F(JournalTest, CopiesStopAtTheirLimitAndASegmentGoesOnlyAfterItsCheckpoint) {
    fs::create_directories(root() + "/detail");
    Journal journal(root(), "n1", true);
    StoreError err;
    ASSERT_TRUE(journal.open(err)) << err.reason;
    const std::string piece(Journal::kCopyBytesPerCommand / 2, 'x');
    bool copied = false;
    ASSERT_TRUE(journal.intendCopiedAppend(1, "detail/a.log", 0, piece.data(), piece.size(), copied, err));
    EXPECT_TRUE(copied);
    ASSERT_TRUE(journal.intendCopiedAppend(1, "detail/a.log", piece.size(), piece.data(), piece.size(), copied, err));
    EXPECT_TRUE(copied);
    EXPECT_TRUE(journal.allCopied(1));
    ASSERT_TRUE(journal.intendCopiedAppend(1, "detail/a.log", 2 * piece.size(), "y", 1, copied, err));
    EXPECT_FALSE(copied) << "past the limit";
    EXPECT_FALSE(journal.allCopied(1));
    ASSERT_TRUE(journal.intendCreate(2, "reports/n1-2", err));
    EXPECT_FALSE(journal.allCopied(2)) << "a created file is flushed by its round";
    ASSERT_TRUE(journal.commit(1, err) && journal.commit(2, err));

    // Fill the first segment with copies of commands that end, then start one more.
    const std::string full(Journal::kCopyBytesPerCommand, 'z');
    for (uint64_t seq = 3; seq < 3 + Journal::kSegmentBytes / full.size(); ++seq) {
        ASSERT_TRUE(journal.intendCopiedAppend(seq, "detail/b.log", 0, full.data(), full.size(), copied, err));
        ASSERT_TRUE(copied && journal.commit(seq, err));
    }
    ASSERT_TRUE(journal.intendCopiedAppend(999, "detail/c.log", 0, "c", 1, copied, err));
    ASSERT_TRUE(journal.checkpointWaiting());
    const Journal::Checkpoint checkpoint = journal.takeCheckpoint();
    EXPECT_EQ(std::vector<uint64_t>{1}, checkpoint.segments);
    EXPECT_EQ((std::set<std::string>{"detail/a.log", "detail/b.log"}), checkpoint.paths);
    EXPECT_FALSE(journal.checkpointWaiting()) << "a checkpoint in progress is not handed out twice";
    journal.endCheckpoint(checkpoint, false);
    EXPECT_TRUE(fs::exists(root() + "/journal/n1/1.log")) << "a failed checkpoint keeps its segment";
    journal.endCheckpoint(journal.takeCheckpoint(), true);
    EXPECT_FALSE(fs::exists(root() + "/journal/n1/1.log"));
    EXPECT_TRUE(fs::exists(root() + "/journal/n1/2.log"));
}

// With sync on, a small append to a file that exists is copied into the
// journal and committed before its round, which then needs the journal only;
// a new file or a large append keeps the round's file flushes.
TEST_F(JournalTest, ASmallAppendIsCommittedThroughTheJournalAndALargeOneThroughItsFile) {
    logserver::StoreOptions options;
    options.node = "n1";
    options.minFreeBytes = 0;
    LogStore store(root(), options);
    StoreError err;
    std::vector<std::string> notes;
    ASSERT_TRUE(store.open(err, notes)) << err.reason;
    auto command = [&](const std::string& bytes) {
        uint64_t seq = 0;
        EXPECT_TRUE(store.reserveSeq(seq, err));
        std::string placed;
        auto w = store.placeAndOpen("detail/x/a.log", true, seq, placed, err);
        EXPECT_TRUE(w && w->write(bytes.data(), bytes.size(), err) && w->flush(err)) << err.reason;
        EXPECT_TRUE(store.appendIndex(seq, "2026-12-07", "{\"seq\":" + std::to_string(seq) + "}\n", err));
        w->commit();
        w.reset();
        EXPECT_TRUE(store.commit(seq, err)) << err.reason;
        return std::to_string(seq);
    };
    const std::string first = command("new");
    const std::string second = command("def");
    const std::string third = command(std::string(Journal::kCopyBytesPerCommand + 1, 'L'));
    const std::string journal = read("journal/n1/1.log");
    EXPECT_EQ(std::string::npos, journal.find("D " + first + " 0 3 detail/x/a.log")) << "a new file was copied";
    EXPECT_NE(std::string::npos, journal.find(copy(std::stoi(second), 3, "def", "detail/x/a.log")));
    EXPECT_NE(std::string::npos, journal.find("C " + second + "\n"));
    EXPECT_EQ(std::string::npos, journal.find("D " + third + " 6 ")) << "a large append was copied";
    EXPECT_EQ(6 + Journal::kCopyBytesPerCommand + 1, read("detail/x/a.log").size());
}

// The store end to end: a command that fails half-way leaves nothing to undo
// at the next open, and one killed between its intent and its index line is
// undone there.
TEST_F(JournalTest, StoreUndoesAKilledCommandAtOpen) {
    logserver::StoreOptions options;
    options.sync = false;
    options.node = "n1";
    options.minFreeBytes = 0;
    {
        LogStore store(root(), options);
        StoreError err;
        std::vector<std::string> notes;
        ASSERT_TRUE(store.open(err, notes));
        uint64_t seq = 0;
        ASSERT_TRUE(store.reserveSeq(seq, err));
        auto w = store.openFile("detail/a.log", true, seq, err);
        ASSERT_TRUE(w && w->write("kept", 4, err));
        std::string ref;
        ASSERT_TRUE(store.appendMeta(seq, "2026-12-01", "{}", ref, err));
        EXPECT_EQ("meta/2026-12-01.log:0:2", ref);
        ASSERT_TRUE(store.appendIndex(seq, "2026-12-01", "{\"seq\":1}\n", err));
        w->commit();
        ASSERT_TRUE(store.commit(seq, err));
        w.reset();
        ASSERT_TRUE(store.reserveSeq(seq, err));
        w = store.openFile("detail/a.log", true, seq, err);
        ASSERT_TRUE(w && w->write("lost", 4, err));
        ASSERT_TRUE(store.intendCreate(seq, "reports/n1-2", err));
        write("reports/n1-2/report.json", "{}");
        // Killed here: the writer's own undo never runs.
        w->commit();
    }
    LogStore store(root(), options);
    StoreError err;
    std::vector<std::string> notes;
    ASSERT_TRUE(store.open(err, notes));
    EXPECT_EQ("kept", read("detail/a.log"));
    EXPECT_FALSE(fs::exists(root() + "/reports/n1-2"));
    uint64_t seq = 0;
    ASSERT_TRUE(store.reserveSeq(seq, err));
    EXPECT_GT(seq, 2u);
}

// A round whose only step is f.
GroupSync::Round oneStep(std::function<bool(StoreError&)> f) {
    GroupSync::Round round;
    round.steps.push_back(std::move(f));
    return round;
}

TEST(GroupSyncTest, CommandsWaitingTogetherShareFlushes) {
    std::atomic<int> inFlush{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> release{0};
    GroupSync sync([&] {
        return oneStep([&](StoreError&) {
            if (++inFlush > 1) overlapped = true;
            // The first flush lasts until every caller is waiting behind it.
            while (release.load() == 0) std::this_thread::yield();
            --inFlush;
            return true;
        });
    });
    constexpr int kCallers = 16;
    std::atomic<int> started{0}, ok{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&] {
            ++started;
            StoreError err;
            if (sync.sync(err)) ++ok;
        });
    }
    while (started.load() < kCallers) std::this_thread::yield();
    release = 1;
    for (auto& t : callers) t.join();
    EXPECT_EQ(kCallers, ok.load());
    EXPECT_FALSE(overlapped.load()) << "one flush at a time";
    EXPECT_LT(sync.flushCount(), static_cast<uint64_t>(kCallers)) << "waiting callers were served together";
}

TEST(GroupSyncTest, AFailedFlushFailsItsWaitersAndTheNextOneTriesAgain) {
    bool fail = true;
    GroupSync sync([&] {
        return oneStep([&](StoreError& err) {
            if (fail) err = {"disk full: x"};
            return !fail;
        });
    });
    StoreError err;
    EXPECT_FALSE(sync.sync(err));
    EXPECT_EQ("disk full: x", err.reason);
    fail = false;
    EXPECT_TRUE(sync.sync(err));
}

// The steps of a round are flushes of different files: while one thread is
// inside one, another takes the next, and the last stage starts only once
// every step is done.
TEST(GroupSyncTest, ARoundsStepsRunSideBySideBeforeItsLastStage) {
    std::atomic<int> inside{0}, mostInside{0}, stepsDone{0};
    std::atomic<bool> lastTooEarly{false}, lastSawFailure{false};
    std::atomic<bool> firstRound{true};
    constexpr int kSteps = 4;
    GroupSync sync([&] {
        GroupSync::Round round;
        const bool first = firstRound.exchange(false);
        for (int i = 0; i < kSteps; ++i) {
            round.steps.push_back([&, first](StoreError&) {
                const int now = ++inside;
                int seen = mostInside.load();
                while (now > seen && !mostInside.compare_exchange_weak(seen, now)) {}
                // The steps of the second round meet: each waits (with a
                // generous deadline) for a second one to be inside.
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                if (!first)
                    while (mostInside.load() < 2 && std::chrono::steady_clock::now() < deadline)
                        std::this_thread::yield();
                ++stepsDone;
                --inside;
                return true;
            });
        }
        round.last = [&, first](bool stepsOk, StoreError&) {
            if (!first && stepsDone.load() < 2 * kSteps) lastTooEarly = true;
            if (!stepsOk) lastSawFailure = true;
            return true;
        };
        return round;
    });
    StoreError err;
    ASSERT_TRUE(sync.sync(err));
    std::vector<std::thread> callers;
    std::atomic<int> ok{0};
    for (int i = 0; i < 3; ++i)
        callers.emplace_back([&] {
            StoreError e;
            if (sync.sync(e)) ++ok;
        });
    for (auto& t : callers) t.join();
    EXPECT_EQ(3, ok.load());
    EXPECT_GE(mostInside.load(), 2) << "steps ran one after the other";
    EXPECT_FALSE(lastTooEarly.load()) << "the last stage ran before the steps were done";
    EXPECT_FALSE(lastSawFailure.load());
}

// A caller asking asynchronously goes on at once (a server's dispatch thread
// takes the next request); it is answered only after the round covering it,
// and a GroupSync being destroyed still answers everyone who asked.
TEST(GroupSyncTest, AsyncCallersGoOnAtOnceAndAreAnsweredAfterTheirRoundEvenAtDestruction) {
    std::atomic<bool> release{false};
    std::atomic<int> rounds{0};
    std::mutex m;
    std::vector<int> answered;
    {
        GroupSync sync([&] {
            ++rounds;
            return oneStep([&](StoreError&) {
                while (!release.load()) std::this_thread::yield();
                return true;
            });
        });
        for (int i = 0; i < 3; ++i) {
            sync.syncAsync([&, i](bool ok, const StoreError&) {
                std::lock_guard<std::mutex> lock(m);
                answered.push_back(ok ? i : -1);
            });
        }
        while (rounds.load() == 0) std::this_thread::yield();
        {
            std::lock_guard<std::mutex> lock(m);
            EXPECT_TRUE(answered.empty()) << "answered before the flush was done";
        }
        release = true;
    }
    std::sort(answered.begin(), answered.end());
    EXPECT_EQ((std::vector<int>{0, 1, 2}), answered);
    EXPECT_LE(rounds.load(), 3);
}

TEST(GroupSyncTest, AFailedStepIsToldToTheLastStageAndFailsTheRound) {
    bool lastSawOk = true;
    GroupSync sync([&] {
        GroupSync::Round round = oneStep([](StoreError& err) {
            err = {"I/O error: detail/a.log"};
            return false;
        });
        round.steps.push_back([](StoreError&) { return true; });
        round.last = [&](bool stepsOk, StoreError&) {
            lastSawOk = stepsOk;
            return true;
        };
        return round;
    });
    StoreError err;
    EXPECT_FALSE(sync.sync(err));
    EXPECT_EQ("I/O error: detail/a.log", err.reason);
    EXPECT_FALSE(lastSawOk);
}

TEST(FlushSetTest, AFileAppendedToByManyCommandsIsFlushedOnceAndAFailedRoundGivesItBack) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/a.log";
    testsupport::writeFile(path, "x");
    const int first = ::open(path.c_str(), O_WRONLY | O_APPEND);
    const int second = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    logserver::FlushSet set;
    ASSERT_TRUE(set.noteAppended(first));
    ASSERT_TRUE(set.noteAppended(second));
    set.noteCreated(dir.path() + "/b.dmp");
    set.noteCreated(dir.path() + "/b.dmp");
    set.noteFolder(dir.path());
    set.noteCommit(7);
    ::close(first);
    ::close(second);
    logserver::FlushSet::Batch batch = set.take();
    EXPECT_EQ(1u, batch.appended.size()) << "one descriptor per file, not per command";
    EXPECT_EQ(1u, batch.created.size());
    EXPECT_EQ(1u, batch.folders.size());
    ASSERT_EQ(1u, batch.commits.size());
    EXPECT_EQ(0, ::fdatasync(batch.appended.begin()->second)) << "the set's own descriptor outlives the caller's";
    EXPECT_TRUE(set.take().empty());
    set.noteCommit(8);
    set.putBack(std::move(batch));
    logserver::FlushSet::Batch again = set.take();
    EXPECT_EQ(1u, again.appended.size());
    EXPECT_EQ(2u, again.commits.size());
}

// With sync on, a command's commit waits for the round that writes its
// commit record: the journal then holds it, and the store answers nothing
// before its files are noted for that round.
TEST_F(JournalTest, ASyncedCommitIsRecordedByItsRoundAfterTheIndexLine) {
    logserver::StoreOptions options;
    options.node = "n1";
    LogStore store(root(), options);
    StoreError err;
    std::vector<std::string> notes;
    ASSERT_TRUE(store.open(err, notes)) << err.reason;
    uint64_t seq = 0;
    ASSERT_TRUE(store.reserveSeq(seq, err));
    std::string placed;
    auto w = store.placeAndOpen("detail/x/a.log", true, seq, placed, err);
    ASSERT_TRUE(w) << err.reason;
    ASSERT_TRUE(w->write("abc", 3, err));
    ASSERT_TRUE(w->flush(err));
    ASSERT_TRUE(store.appendIndex(seq, "2026-12-07", "{\"seq\":" + std::to_string(seq) + ",\"path\":\"x\"}\n", err));
    w->commit();
    w.reset();
    const std::string before = read("journal/n1/1.log");
    EXPECT_EQ(std::string::npos, before.find("C " + std::to_string(seq))) << "commit record written before its round";
    const uint64_t rounds = store.flushCount();
    ASSERT_TRUE(store.commit(seq, err)) << err.reason;
    EXPECT_EQ(rounds + 1, store.flushCount());
    EXPECT_NE(std::string::npos, read("journal/n1/1.log").find("C " + std::to_string(seq) + "\n"));
    EXPECT_EQ("abc", read(placed));
}

}  // namespace
