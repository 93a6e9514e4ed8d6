// LogStore: the server's durable directory store (layout: storeLayout.h).
//
// The root directory is a constructor parameter, so that one process may
// serve several stores (one per organisation). Where a node name is set,
// <seq> in stored names is "<node>-<seq>": stores of several servers then
// merge without a name colliding, and several servers may write one store
// folder in turn. Appended files are shared by every node.
//
// A command's life: reserveSeq; its files through openFile / writeFile /
// intendCreate, each recorded in the journal before it is touched;
// appendMeta; appendIndex; commitAsync, which answers once the command's
// files, meta bytes and index line are on disk, flushed by one round shared
// with every command committing at the same time (unless the store was
// opened without sync).
// A small command that only appends to files that exist (most of them) has
// its bytes copied into the journal as it writes them: its commit record is
// written at once, and the round's flush of the journal alone makes it
// durable (its files are flushed later, by a checkpoint; journal.h). Any
// other command has its files flushed by the round, in the order that keeps
// a crash at any point safe: first, side by side, each file written (once
// per file, however many commands wrote to it), each new file and each folder
// that got an entry, the meta day and the journal (its intents); then the
// index days. An index line is thus never on disk before the bytes it points
// to, and replay counts a command whose index line it finds as stored. The
// round then writes those commands' commit records, which only let the
// journal be trimmed: the next round's journal flush takes them along.
// Only the files this store wrote are flushed (never a whole file system,
// which other organisations' stores share). A command that fails
// undoes its own files and calls abandon. A killed server's unconfirmed
// commands are undone by the journal at the next open.
//
// Client names are encoded by nameEncoding.h before they become paths; a
// name that meets a file or folder of the other kind gets "#file" or "#dir"
// (placeFile).
//
// Thread rules: every member may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/stat.h>

#include "appendFileCache.h"
#include "checkpointer.h"
#include "dayLog.h"
#include "flushSet.h"
#include "groupSync.h"
#include "journal.h"
#include "storeError.h"

namespace logserver {

struct StoreOptions {
    bool sync = true;
    uint64_t minFreeBytes = 64ull << 20;
    uint64_t maxRejectedBytes = 1024ull << 20;
    // This server's name in stored names and index lines; empty for none.
    std::string node;
    // Descriptors kept open between commands for appended files.
    size_t openAppendFiles = 16;
    // Bytes the store may hold (0: no quota). Over it, its oldest days go
    // (never today's); a command that still finds it over is refused.
    uint64_t quotaBytes = 0;
};

// The text form of a sequence number, in paths and in the index.
std::string formatSeq(uint64_t seq);

class LogStore;

// One file being written for a command. Until commit() the file's previous
// state comes back when the writer is destroyed: an appended file is cut
// back to its old size, a new file is removed.
class FileWriter {
public:
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    bool write(const char* data, size_t size, StoreError& err);
    // Joins the file to the next group flush, which commit() waits for; the
    // file stays revertible until commit().
    bool flush(StoreError& err);
    // Keeps what was written; after the command's index line is written.
    void commit();
    const std::string& relPath() const { return relPath_; }
    // Where this command's bytes start in the file, and how many it wrote.
    uint64_t offset() const { return static_cast<uint64_t>(oldSize_); }
    uint64_t written() const { return written_; }

private:
    friend class LogStore;
    FileWriter(LogStore& store, std::string relPath, bool append, uint64_t seq);
    void revert();

    LogStore& store_;
    std::string relPath_;
    bool append_;
    uint64_t seq_ = 0;
    // Appended bytes go to the journal too while it takes them; the file is
    // then flushed by a later checkpoint instead of by the command's round.
    bool copying_ = false;
    int fd_ = -1;
    long long oldSize_ = 0;
    uint64_t written_ = 0;
    bool existed_ = false;
    bool committed_ = false;
    bool reusable_ = false;  // fd_ may go back to the store's open files
    bool reused_ = false;    // fd_ came from them, open on the file stat_ describes
    struct stat stat_ {};
    std::unique_lock<std::mutex> lock_;
};

class LogStore {
public:
    LogStore(std::string root, StoreOptions options);
    ~LogStore();
    LogStore(const LogStore&) = delete;
    LogStore& operator=(const LogStore&) = delete;

    // Creates the root, cuts a torn last index line, undoes what a killed
    // server left unconfirmed and finds the next sequence number; notes says
    // what was repaired. Reads only the newest index day.
    bool open(StoreError& err, std::vector<std::string>& notes);

    const std::string& root() const { return root_; }
    // The newest index file at open ("index/<day>.jsonl"), or empty.
    const std::string& newestIndexDay() const { return newestIndexDay_; }
    const std::string& node() const { return options_.node; }
    // The name a command's files are stored under: "<node>-<seq>", or the
    // plain number without a node name.
    std::string seqName(uint64_t seq) const;
    // A node name becomes part of file names: 1-64 of [A-Za-z0-9._-], not
    // starting with a dot or dash.
    static bool validNodeName(const std::string& node);
    // The host name made valid as a node name.
    static std::string defaultNodeName();
    // A sequence number never handed out before, also across crashes: it is
    // reserved on disk (in blocks) before it is used.
    bool reserveSeq(uint64_t& seq, StoreError& err);
    // Fails when the disk is below the free-space floor.
    bool checkFreeSpace(StoreError& err);
    // Before a command: with a quota, a store at or over it loses its oldest
    // days until it is under; fails when only today is left. A store may pass
    // its quota by at most the one command that finds it under.
    bool checkQuota(StoreError& err);
    // Bytes the store holds, as counted for its quota.
    uint64_t usedBytes() const { return usedBytes_; }

    // The path under which relPath (already encoded) is stored, with
    // "#dir"/"#file" where a component meets one of the other kind; creates
    // the folders.
    bool placeFile(const std::string& relPath, std::string& placed, StoreError& err);
    // relPath as returned by placeFile. Appends to one file are serialised:
    // the writer holds that file's lock until it is destroyed.
    std::unique_ptr<FileWriter> openFile(const std::string& relPath, bool append, uint64_t seq, StoreError& err);
    // placeFile and openFile in one: where a folder the store remembered
    // has become a file since, relPath is placed anew (with "#dir").
    std::unique_ptr<FileWriter> placeAndOpen(const std::string& relPath, bool append, uint64_t seq,
                                             std::string& placed, StoreError& err);
    // A new file holding data, inside a folder intendCreate recorded (or
    // recorded itself when standalone).
    bool writeFile(const std::string& relPath, const char* data, size_t size, uint64_t seq, StoreError& err,
                   bool standalone = false);
    // Records that seq creates relPath (a folder with all in it, or a file).
    bool intendCreate(uint64_t seq, const std::string& relPath, StoreError& err);
    // Appends the request's JSON to the day's meta log; ref is
    // "meta/<day>.log:<offset>:<length>".
    bool appendMeta(uint64_t seq, const std::string& day, const std::string& json, std::string& ref, StoreError& err);
    bool appendIndex(uint64_t seq, const std::string& day, const std::string& line, StoreError& err);
    // Records the command as done; done is called once that is on disk: at
    // once without sync, else from the group flush's thread after its round.
    void commitAsync(uint64_t seq, GroupSync::Done done);
    // The same, waiting.
    bool commit(uint64_t seq, StoreError& err);
    // The command failed and its files were undone.
    void abandon(uint64_t seq);
    void removeTree(const std::string& relPath);

    // Bytes of malformed input may be kept while rejected/ is under its cap.
    bool reserveRejected(uint64_t bytes);
    // Shared flushes so far.
    uint64_t flushCount() const { return groupSync_.flushCount(); }

    // A free-space check that passed holds for this long.
    static constexpr int64_t kFreeSpaceCheckMs = 250;

private:
    friend class FileWriter;
    // Opens relPath (already placed), creating its folders again if one
    // was removed behind the store's back.
    int openPlaced(const std::string& relPath, int flags);
    std::unique_ptr<FileWriter> openFile(const std::string& relPath, bool append, uint64_t seq, StoreError& err,
                                         int& code);
    void forgetDirs();
    bool syncDirOf(const std::string& fullPath, StoreError& err);
    // The folder holding fullPath is flushed by the next group flush.
    void noteDirOf(const std::string& fullPath);
    std::mutex& lockFor(const std::string& relPath);
    // Commits seq now when the journal holds all its bytes, or else notes it
    // for the round's last stage.
    bool noteForRound(uint64_t seq, StoreError& err);
    GroupSync::Round gatherRound();
    bool finishRound(bool stepsOk, StoreError& err);
    // The highest sequence number in the newest index day.
    uint64_t lastIndexedSeq(std::vector<std::string>& notes, bool& ok);

    std::string root_;
    StoreOptions options_;
    std::string newestIndexDay_;
    std::mutex seqMutex_;
    uint64_t lastSeq_ = 0;
    uint64_t reservedUpTo_ = 0;
    std::mutex layoutMutex_;
    // Folders placeFile made or found, by the path asked for: their place.
    // Forgotten when an open under one of them finds it gone.
    std::unordered_map<std::string, std::string> knownDirs_;
    // Steady-clock time (ms) until which the last passed free-space check holds.
    std::atomic<int64_t> freeSpaceOkUntilMs_{0};
    AppendFileCache appendFiles_;
    std::array<std::mutex, 64> fileLocks_;
    std::atomic<uint64_t> rejectedBytes_{0};
    std::atomic<uint64_t> usedBytes_{0};
    std::mutex quotaMutex_;
    Journal journal_;
    DayLog index_;
    DayLog meta_;
    FlushSet toFlush_;
    // The batch of the round in progress (rounds run one at a time).
    FlushSet::Batch roundBatch_;
    Checkpointer checkpointer_;
    GroupSync groupSync_;
};

}  // namespace logserver
