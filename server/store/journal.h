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
// With sync on, a small command's appended bytes are also copied into the
// journal (D records), so that a round needs to flush only the journal for
// it: a command whose commit record is on disk is redone from its copies at
// replay, should the machine have lost what was not flushed of its files.
// Those files are flushed once the segment holding the copies is full or
// older than kCopySegmentMs (a checkpoint, taken by checkpointer.h's thread),
// and only then is the segment removed.
//
// Records are text lines in journal/<node>/<n>.log:
//   A <seq> <size> <path>   will append to path, which has size bytes now
//   D <seq> <offset> <length> <crc> <path>
//                           will append to path, which has offset bytes now,
//                           these length bytes (they follow the line, then a
//                           newline; crc is their CRC-32, so that a copy
//                           torn by a machine that went down mid-flush is
//                           never written back)
//   U <seq> <path>          seq cut its append to path back: its copies for
//                           path are void (the command goes on, quarantined)
//   N <seq> <path>          will create path (a file, or a folder and all in it)
//   C <seq>                 committed: its index line is written
//   X <seq>                 undone by the server
// A line without its newline (or a copy without its bytes) is the one a kill
// cut short, and is ignored. Paths are store-relative and encoded (no spaces
// or control bytes matter: the path is the rest of the line). Never holds a
// token: only paths, sizes and the bytes of files.
//
// A segment is closed after kSegmentBytes and removed once every command in
// it is committed or undone (and its copies' files flushed), so the journal
// stays small under constant load. Records are written (not flushed) before
// the file they describe is touched: a killed process leaves them in that
// order. Flushing is the group sync's job (flush) and the checkpointer's
// (takeCheckpoint).
//
// Thread rules: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "storeError.h"

namespace logserver {

class Journal {
public:
    static constexpr uint64_t kSegmentBytes = 16 << 20;
    // A segment with copies is closed after this long, so that their files
    // are flushed soon even under light load.
    static constexpr int64_t kCopySegmentMs = 5000;
    // Bytes of one command that are copied; a command that appends more, or
    // creates a file, has its files flushed by its round instead.
    static constexpr uint64_t kCopyBytesPerCommand = 256 << 10;

    // Closed segments whose commands have all ended and whose copied files
    // must be flushed before the segments go.
    struct Checkpoint {
        std::vector<uint64_t> segments;
        std::set<std::string> paths;  // store-relative
        bool empty() const { return segments.empty(); }
    };

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
    // Records bytes that seq appends to relPath at offset, a copy of them
    // included while seq stays within kCopyBytesPerCommand (and the journal
    // is synced); false in copied when they were not copied.
    bool intendCopiedAppend(uint64_t seq, const std::string& relPath, uint64_t offset, const char* data, size_t size,
                            bool& copied, StoreError& err);
    // seq cut its append to relPath back: no copy of it may be written again.
    bool cancelCopies(uint64_t seq, const std::string& relPath, StoreError& err);
    // seq wrote something the journal holds no copy of: its round must flush
    // its files.
    void needsFileFlush(uint64_t seq);
    // Every byte seq wrote is copied here: its commit record, once flushed,
    // makes it durable.
    bool allCopied(uint64_t seq) const;
    bool commit(uint64_t seq, StoreError& err);
    // The command's intents were undone by the caller; nothing is left to do.
    void abandon(uint64_t seq);
    // Flushes the records written so far (for the group sync).
    bool flush(StoreError& err);
    // Hands out the segments ready for a checkpoint; the caller flushes the
    // paths and then calls endCheckpoint, which removes the segments when
    // flushed is true and offers them again otherwise.
    Checkpoint takeCheckpoint();
    bool checkpointWaiting() const;
    void endCheckpoint(const Checkpoint& checkpoint, bool flushed);

    // The journal's folder, relative to the store.
    const std::string& relDir() const { return relDir_; }

private:
    struct Segment {
        int fd = -1;
        uint64_t size = 0;
        int open = 0;  // commands with intents here and no end yet
        int64_t startedMs = 0;
        std::set<std::string> copied;  // files with copies here
        bool checkpointing = false;
    };
    struct Command {
        uint64_t segment = 0;
        uint64_t copiedBytes = 0;
        bool allCopied = true;
    };
    // copiedTo, when set, is a file whose bytes the record copies.
    bool write(uint64_t seq, const std::string& record, bool ends, StoreError& err,
               const std::string* copiedTo = nullptr);
    bool startSegment(StoreError& err);
    void endCommand(uint64_t seq);
    // Removes a segment whose commands have all ended, unless its copies'
    // files still wait for a checkpoint.
    void dropIfDone(uint64_t number);
    void removeSegment(std::map<uint64_t, Segment>::iterator it);

    const std::string root_;
    const std::string relDir_;
    const bool sync_;
    mutable std::mutex mutex_;
    uint64_t current_ = 0;
    uint64_t nextNumber_ = 1;
    std::map<uint64_t, Segment> segments_;  // by number
    std::map<uint64_t, Command> commands_;  // commands that have not ended
};

}  // namespace logserver
