// Journal: a node's write-ahead journal, so that a server killed in the middle
// of a command leaves nothing of it behind.
//
// Before a command touches a file it records an intent: the file it appends
// to and the size it starts from, or the file (or folder) it creates. After
// its index line it records its commit. At start, replay() undoes every
// command with intents but neither a commit nor an index line: appends are cut
// back to where they started and created files are removed. A command undone
// by the server itself (a refused write) records that too.
//
// Records are text lines in journal/<node>/<n>.log:
//   A <seq> <size> <path>   will append to path, which has size bytes now
//   N <seq> <path>          will create path (a file, or a folder and all in it)
//   C <seq>                 committed: its index line is written
//   X <seq>                 undone by the server
// A line without its newline is the one a kill cut short, and is ignored.
// Paths are store-relative and encoded (no spaces or control bytes matter:
// the path is the rest of the line). Never holds a token: only paths and sizes.
//
// A segment is closed after kSegmentBytes and removed once every command in
// it is committed or undone, so the journal stays small under constant load.
// Records are written (not flushed) before the file they describe is touched:
// a killed process leaves them in that order. Flushing is the group sync's
// job (fd() / flushTargets).
//
// Thread rules: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "storeError.h"

namespace logserver {

class Journal {
public:
    static constexpr uint64_t kSegmentBytes = 1 << 20;

    // root is the store's folder; node names the journal's own folder.
    Journal(std::string root, std::string node, bool sync);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Undoes what a killed server left unconfirmed and empties the journal;
    // notes says what was undone. Before open().
    bool replay(std::vector<std::string>& notes, StoreError& err);
    bool open(StoreError& err);

    bool intendAppend(uint64_t seq, const std::string& relPath, uint64_t size, StoreError& err);
    bool intendCreate(uint64_t seq, const std::string& relPath, StoreError& err);
    bool commit(uint64_t seq, StoreError& err);
    // The command's intents were undone by the caller; nothing is left to do.
    void abandon(uint64_t seq);
    // Flushes the records written so far (for the group sync).
    bool flush(StoreError& err);

    // The journal's folder, relative to the store.
    const std::string& relDir() const { return relDir_; }

private:
    struct Segment {
        int fd = -1;
        uint64_t size = 0;
        int open = 0;  // commands with intents here and no end yet
    };
    bool write(uint64_t seq, const std::string& record, bool ends, StoreError& err);
    bool startSegment(StoreError& err);
    void endCommand(uint64_t seq);

    const std::string root_;
    const std::string relDir_;
    const bool sync_;
    std::mutex mutex_;
    uint64_t current_ = 0;
    uint64_t nextNumber_ = 1;
    std::map<uint64_t, Segment> segments_;   // by number
    std::map<uint64_t, uint64_t> segmentOf_;  // command -> segment number
};

}  // namespace logserver
