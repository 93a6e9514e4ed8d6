// LogStore: the server's durable directory store.
//
// Layout under the root directory:
//   index.jsonl                  one JSON object per stored command, in order
//   errlog/<client>.log          error logs, appended
//   detail/<folder>/<name>       detail logs, appended
//   dumps/<client>/<id>.dmp      crash dumps, with <id>.json (the dump's info)
//   reports/<id>/report.json     user reports, with attachments/<name> (+ .txt)
//   rejected/<id>/               malformed commands kept as received
//
// <id> is "<node>-<seq>": the server's node name joined to its sequence
// number, so that stores of several servers merge without a name colliding
// and several servers may write one store folder in turn. errlog/ and
// detail/ files are appended to, whichever node writes them.
//
// Every name that comes from a client goes through safeName/safeRelativePath
// before it becomes a path, so nothing is written outside the root.
// Durability: each write is flushed to disk (file and directory) before the
// call returns, unless the store was opened without sync.
//
// Thread rules: every member may be called from any thread; writes are
// serialised by one lock, so index lines never interleave.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace logserver {

// Why a write failed, worded for the client: these are the refusals that may
// pass later, so the client keeps the segment and retries.
struct StoreError {
    std::string reason;
};

// One line of index.jsonl.
struct IndexEntry {
    uint64_t seq = 0;
    std::string peer;
    int cmdId = 0;
    std::string cmdType;
    std::string json;
    uint64_t compressedSize = 0;
    uint64_t inflatedSize = 0;
    std::string path;      // relative to the root
    std::string rejected;  // empty unless quarantined
};

class LogStore {
public:
    // node must pass validNodeName.
    LogStore(std::string root, bool sync, std::string node);
    LogStore(const LogStore&) = delete;
    LogStore& operator=(const LogStore&) = delete;

    // Creates the root and reads the last sequence number from the index, so
    // that numbers stay unique across restarts.
    bool open(StoreError& err);

    const std::string& root() const { return root_; }
    uint64_t nextSeq();
    const std::string& node() const { return node_; }
    // "<node>-<seq>": the name a command's files are stored under.
    std::string seqName(uint64_t seq) const { return node_ + "-" + std::to_string(seq); }

    // relPath must already be safe. Parent folders are created as needed.
    bool appendFile(const std::string& relPath, const std::string& bytes, StoreError& err);
    bool writeFile(const std::string& relPath, const std::string& bytes, StoreError& err);
    bool appendIndex(const IndexEntry& entry, StoreError& err);

    // A single path component: bytes outside [A-Za-z0-9._-] become '_', a
    // leading dot becomes '_', empty becomes "_", and the length is capped.
    static std::string safeName(const std::string& name);
    // Folders separated by '/', each made safe; empty components are dropped.
    static std::string safeRelativePath(const std::string& path);
    // A node name becomes part of file names: [A-Za-z0-9._-], not starting
    // with a dot or dash, at most 64 bytes.
    static bool validNodeName(const std::string& node);
    // The host name made valid as a node name.
    static std::string defaultNodeName();

private:
    bool makeParentDirs(const std::string& relPath, StoreError& err);
    bool writeBytes(const std::string& relPath, const std::string& bytes, bool append, StoreError& err);

    std::string root_;
    bool sync_;
    std::string node_;
    std::mutex mutex_;
    uint64_t lastSeq_ = 0;
};

// "YYYY-MM-DDTHH:MM:SS.mmmZ" for the current time.
std::string utcTimestamp();

}  // namespace logserver
