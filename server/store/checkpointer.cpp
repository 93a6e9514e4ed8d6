#include "checkpointer.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "journal.h"

namespace logserver {
namespace {

// A file removed meanwhile (by retention, or an operator) needs no flush.
bool flushIfThere(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
    const bool ok = ::fdatasync(fd) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

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
    for (const std::string& rel : checkpoint.paths) ok = flushIfThere(root_ + "/" + rel) && ok;
    if (found) journal_.endCheckpoint(checkpoint, ok);
    return ok;
}

}  // namespace logserver
