// Checkpointer: flushes the files that journal segments hold copies for, on
// a thread of its own, so that the segments can go.
//
// A command whose bytes are copied into the journal is durable once the
// journal is flushed; its files are flushed later, here, a whole closed
// segment's worth at a time. Doing it beside the group sync's rounds rather
// than in one of them keeps the commands of that round from waiting for tens
// of files.
//
// Thread rules: ask() may be called from any thread; the destructor finishes
// the checkpoint in progress (the journal's own destructor takes what is left
// at shutdown).
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace logserver {

class Journal;

class Checkpointer {
public:
    // root is the store's folder; journal must outlive this object.
    Checkpointer(std::string root, Journal& journal);
    ~Checkpointer();
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    // Looks for closed segments to checkpoint, soon; the thread starts with
    // the first call.
    void ask();

private:
    void work();
    // One checkpoint: false when a file could not be flushed.
    bool checkpointOnce(bool& found);

    const std::string root_;
    Journal& journal_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool asked_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace logserver
