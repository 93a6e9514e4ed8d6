// LogStore: the server's durable directory store.
//
// Layout under the root directory (a constructor parameter, so that one
// process may serve several stores):
//   index.jsonl                  one line per command, in order (storeIndex.h)
//   seq.reserved                 sequence numbers handed out so far
//   meta/<seq>.json              the request's JSON as received;
//                                meta/.spare-<node>-<n> are empty files made
//                                ahead for them (spareFilePool.h)
//   errlog/<client>.log          error logs, appended
//   detail/<folder>/<name>       detail logs, appended
//   dumps/<client>/<seq>.dmp     crash dumps, with <seq>.json (the dump's info)
//   reports/<seq>/report.json    user reports, attachments/<i>-<name> (+ .txt)
//   rejected/<seq>/              malformed commands: request.json, data.bin, reason.txt
//   pending/<seq>                appends not yet confirmed (see FileWriter);
//                                pending/.spare-<n> are emptied ones kept for reuse
//
// Where a node name is set, <seq> in the names above (not in pending/) is
// "<node>-<seq>": stores of several servers then merge without a name
// colliding, and several servers may write one store folder in turn.
// errlog/ and detail/ files are appended to, whichever node writes them.
//
// Client names are encoded by nameEncoding.h before they become paths; a
// name that meets a file or folder of the other kind gets "#file" or "#dir"
// (placeFile). Durability: each write is flushed (file and folder) before
// the call returns, unless the store was opened without sync.
//
// Thread rules: every member may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/stat.h>

#include "appendFileCache.h"
#include "spareFilePool.h"
#include "spareRecordFiles.h"

namespace logserver {

// Why a write failed, worded for the client: these are the refusals that may
// pass later, so the client keeps the segment and retries.
struct StoreError {
    std::string reason;
};

struct StoreOptions {
    bool sync = true;
    uint64_t minFreeBytes = 64ull << 20;
    uint64_t maxRejectedBytes = 1024ull << 20;
    // This server's name in stored names and index lines; empty for none.
    std::string node;
    // Empty files kept ready in meta/ (refilled from half of it); 0: none.
    size_t metaSpares = 256;
};

// The text form of a sequence number, in paths and in the index.
std::string formatSeq(uint64_t seq);

class LogStore;

// One file being written for a command. Until commit() the file's previous
// state comes back when the writer is destroyed: an appended file is cut
// back to its old size, a new file is removed. An append is also recorded
// under pending/ so that a crash before the index line is undone at start.
class FileWriter {
public:
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    bool write(const char* data, size_t size, StoreError& err);
    // Flushes to disk; the file stays revertible until commit().
    bool flush(StoreError& err);
    // Keeps what was written; after the command's index line is written.
    void commit();
    const std::string& relPath() const { return relPath_; }

private:
    friend class LogStore;
    FileWriter(LogStore& store, std::string relPath, bool append, std::string pending);
    void revert();

    LogStore& store_;
    std::string relPath_;
    bool append_;
    std::string pending_;
    int pendingFd_ = -1;
    int fd_ = -1;
    long long oldSize_ = 0;
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
    // Removes the meta spares not taken.
    ~LogStore();
    LogStore(const LogStore&) = delete;
    LogStore& operator=(const LogStore&) = delete;

    // Creates the root, repairs the index, undoes unconfirmed appends,
    // removes spares a killed server left and finds the next sequence
    // number; notes says what was repaired. Starts the meta spares' refill.
    bool open(StoreError& err, std::vector<std::string>& notes);

    const std::string& root() const { return root_; }
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
    // A new file holding data. One in meta/ takes a spare when one is ready;
    // without one, or where the spare cannot be used, it is created.
    bool writeFile(const std::string& relPath, const char* data, size_t size, StoreError& err);
    bool appendIndex(const std::string& line, StoreError& err);
    void removeTree(const std::string& relPath);

    // Bytes of malformed input may be kept while rejected/ is under its cap.
    bool reserveRejected(uint64_t bytes);

    // The meta spares, null without them (or before open()).
    const SpareFilePool* metaSpares() const { return metaSpares_.get(); }

    // Descriptors kept open between commands for appended files.
    static constexpr size_t kOpenAppendFiles = 16;
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
    // Writes the record of an append as pending/<seq>; placed is its path
    // and fd stays open on it for dropRecord.
    bool writeRecord(uint64_t seq, const std::string& record, std::string& placed, int& fd, StoreError& err);
    // The record is no longer needed: its file becomes a spare.
    void dropRecord(const std::string& placed, int fd);
    bool syncDirOf(const std::string& fullPath, StoreError& err);
    // writeFile through a meta spare; false when none was ready or it could
    // not be used, and nothing of it is left behind.
    bool writeFromSpare(const std::string& relPath, const char* data, size_t size);
    std::mutex& lockFor(const std::string& relPath);
    bool undoPending(std::vector<std::string>& notes, StoreError& err);

    std::string root_;
    StoreOptions options_;
    std::mutex seqMutex_;
    uint64_t lastSeq_ = 0;
    uint64_t reservedUpTo_ = 0;
    std::mutex indexMutex_;
    std::mutex layoutMutex_;
    // Folders placeFile made or found, by the path asked for: their place.
    // Forgotten when an open under one of them finds it gone.
    std::unordered_map<std::string, std::string> knownDirs_;
    // Steady-clock time (ms) until which the last passed free-space check holds.
    std::atomic<int64_t> freeSpaceOkUntilMs_{0};
    AppendFileCache appendFiles_{kOpenAppendFiles};
    SpareRecordFiles spareRecords_{64};
    std::array<std::mutex, 64> fileLocks_;
    std::atomic<uint64_t> rejectedBytes_{0};
    // Last: its thread asks checkFreeSpace, so it stops before the rest goes.
    std::unique_ptr<SpareFilePool> metaSpares_;
};

}  // namespace logserver
