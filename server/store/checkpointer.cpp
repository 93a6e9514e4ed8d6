#include "checkpointer.h"

#include <utility>

#include "fileOps.h"
#include "journal.h"

namespace logserver {

Checkpointer::Checkpointer(std::string root, Journal& journal) : root_(std::move(root)), journal_(journal) {}

Checkpointer::~Checkpointer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Checkpointer::ask() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        asked_ = true;
        if (!thread_.joinable()) thread_ = std::thread([this] { work(); });
    }
    changed_.notify_one();
}

void Checkpointer::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return asked_ || stopping_; });
        if (stopping_) return;
        asked_ = false;
        lock.unlock();
        bool found = true;
        // A failed flush is tried again when the next round asks.
        while (found && checkpointOnce(found)) {
        }
        lock.lock();
    }
}

bool Checkpointer::checkpointOnce(bool& found) {
    const Journal::Checkpoint checkpoint = journal_.takeCheckpoint();
    found = !checkpoint.empty();
    bool ok = true;
    for (const std::string& rel : checkpoint.paths) ok = fileOps::syncIfThere(root_ + "/" + rel, false) && ok;
    if (found) journal_.endCheckpoint(checkpoint, ok);
    return ok;
}

}  // namespace logserver
