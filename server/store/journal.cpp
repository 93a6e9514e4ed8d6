#include "journal.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <utility>

#include <dirent.h>
#include <zlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileOps.h"
#include "journalReplay.h"
#include "storeLayout.h"

namespace logserver {
namespace {

const char kSegmentSuffix[] = ".log";

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Segment numbers found in dir, oldest first.
std::vector<uint64_t> segmentsIn(const std::string& dir) {
    std::vector<uint64_t> numbers;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            char* end = nullptr;
            const uint64_t n = std::strtoull(e->d_name, &end, 10);
            if (end != e->d_name && std::string(end) == kSegmentSuffix) numbers.push_back(n);
        }
        ::closedir(d);
    }
    std::set<uint64_t> sorted(numbers.begin(), numbers.end());
    return {sorted.begin(), sorted.end()};
}

}  // namespace

Journal::Journal(std::string root, std::string node, bool sync)
    : root_(std::move(root)), relDir_(StoreLayout::journalDir(node)), sync_(sync) {}

Journal::~Journal() {
    // Every command has ended by now: what is left records nothing to undo,
    // once the files its copies went to are on disk.
    for (auto& s : segments_) {
        if (s.second.fd >= 0) ::close(s.second.fd);
        if (s.second.open != 0) continue;
        bool flushed = true;
        for (const std::string& rel : s.second.copied) flushed = fileOps::syncFile(root_ + "/" + rel) && flushed;
        if (flushed) ::unlink((root_ + "/" + relDir_ + "/" + std::to_string(s.first) + kSegmentSuffix).c_str());
    }
}

bool Journal::replay(std::vector<std::string>& notes, StoreError& err) {
    const std::string dir = root_ + "/" + relDir_;
    const std::vector<uint64_t> numbers = segmentsIn(dir);
    if (!JournalReplay(root_, dir, sync_).run(numbers, notes, err)) return false;
    for (uint64_t n : numbers) ::unlink((dir + "/" + std::to_string(n) + kSegmentSuffix).c_str());
    if (!numbers.empty() && sync_) fileOps::syncDir(dir);
    nextNumber_ = numbers.empty() ? 1 : numbers.back() + 1;
    return true;
}

bool Journal::open(StoreError& err) {
    std::error_code ec;
    std::filesystem::create_directories(root_ + "/" + relDir_, ec);
    if (ec) {
        err = {"store not writable: " + relDir_ + ": " + ec.message()};
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return startSegment(err);
}

bool Journal::startSegment(StoreError& err) {
    const std::string rel = relDir_ + "/" + std::to_string(nextNumber_) + kSegmentSuffix;
    const int fd = ::open((root_ + "/" + rel).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        err = StoreError::fromErrno(errno, rel);
        return false;
    }
    if (sync_) fileOps::syncDir(root_ + "/" + relDir_);
    const uint64_t previous = current_;
    current_ = nextNumber_++;
    Segment& s = segments_[current_];
    s.fd = fd;
    s.startedMs = steadyMs();
    dropIfDone(previous);
    return true;
}

void Journal::dropIfDone(uint64_t number) {
    auto it = segments_.find(number);
    if (it == segments_.end() || it->second.open > 0 || number == current_ || !it->second.copied.empty()) return;
    removeSegment(it);
}

void Journal::removeSegment(std::map<uint64_t, Segment>::iterator it) {
    ::close(it->second.fd);
    ::unlink((root_ + "/" + relDir_ + "/" + std::to_string(it->first) + kSegmentSuffix).c_str());
    segments_.erase(it);
}

bool Journal::write(uint64_t seq, const std::string& record, bool ends, StoreError& err, const std::string* copiedTo) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto known = commands_.find(seq);
    if (known == commands_.end()) {
        if (ends) return true;  // a command that never recorded an intent
        Segment& cur = segments_[current_];
        const bool old = !cur.copied.empty() && steadyMs() - cur.startedMs >= kCopySegmentMs;
        if ((cur.size >= kSegmentBytes || old) && !startSegment(err)) return false;
        known = commands_.emplace(seq, Command{current_}).first;
        ++segments_[current_].open;
    }
    Segment& s = segments_[known->second.segment];
    if (!fileOps::writeAll(s.fd, record.data(), record.size())) {
        err = StoreError::fromErrno(errno, relDir_);
        // A copy written in part would put the records after it out of step
        // with their lengths: the segment goes back to where the record began.
        if (::ftruncate(s.fd, static_cast<off_t>(s.size)) != 0) err.reason += " (and could not be cut back)";
        return false;
    }
    s.size += record.size();
    if (copiedTo != nullptr) s.copied.insert(*copiedTo);
    if (ends) endCommand(seq);
    return true;
}

void Journal::endCommand(uint64_t seq) {
    auto known = commands_.find(seq);
    if (known == commands_.end()) return;
    const uint64_t number = known->second.segment;
    commands_.erase(known);
    auto s = segments_.find(number);
    if (--s->second.open == 0) dropIfDone(number);
}

bool Journal::intendAppend(uint64_t seq, const std::string& relPath, uint64_t size, StoreError& err) {
    return write(seq, "A " + std::to_string(seq) + " " + std::to_string(size) + " " + relPath + "\n", false, err);
}

bool Journal::intendCopiedAppend(uint64_t seq, const std::string& relPath, uint64_t offset, const char* data,
                                 size_t size, bool& copied, StoreError& err) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto known = commands_.find(seq);
        const uint64_t before = known == commands_.end() ? 0 : known->second.copiedBytes;
        copied = sync_ && (known == commands_.end() || known->second.allCopied) &&
                 before + size <= kCopyBytesPerCommand;
    }
    if (!copied) {
        if (!intendAppend(seq, relPath, offset, err)) return false;
        needsFileFlush(seq);  // after the record, which makes seq known
        return true;
    }
    const uLong crc = ::crc32(::crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
    std::string record = "D " + std::to_string(seq) + " " + std::to_string(offset) + " " + std::to_string(size) +
                         " " + std::to_string(crc) + " " + relPath + "\n";
    record.append(data, size);
    record += '\n';
    if (!write(seq, record, false, err, &relPath)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    commands_[seq].copiedBytes += size;
    return true;
}

bool Journal::cancelCopies(uint64_t seq, const std::string& relPath, StoreError& err) {
    return write(seq, "U " + std::to_string(seq) + " " + relPath + "\n", false, err);
}

void Journal::needsFileFlush(uint64_t seq) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto known = commands_.find(seq);
    if (known != commands_.end()) known->second.allCopied = false;
}

bool Journal::allCopied(uint64_t seq) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto known = commands_.find(seq);
    return sync_ && known != commands_.end() && known->second.allCopied;
}

bool Journal::intendCreate(uint64_t seq, const std::string& relPath, StoreError& err) {
    if (!write(seq, "N " + std::to_string(seq) + " " + relPath + "\n", false, err)) return false;
    needsFileFlush(seq);
    return true;
}

bool Journal::commit(uint64_t seq, StoreError& err) {
    return write(seq, "C " + std::to_string(seq) + "\n", true, err);
}

void Journal::abandon(uint64_t seq) {
    StoreError ignored;
    if (!write(seq, "X " + std::to_string(seq) + "\n", true, ignored)) {
        std::lock_guard<std::mutex> lock(mutex_);
        endCommand(seq);
    }
}

bool Journal::flush(StoreError& err) {
    if (!sync_) return true;
    std::vector<int> fds;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& s : segments_) {
            const int fd = ::dup(s.second.fd);
            if (fd >= 0) fds.push_back(fd);
        }
    }
    bool ok = true;
    for (int fd : fds) {
        if (ok && ::fdatasync(fd) != 0) {
            err = StoreError::fromErrno(errno, relDir_);
            ok = false;
        }
        ::close(fd);
    }
    return ok;
}

Journal::Checkpoint Journal::takeCheckpoint() {
    std::lock_guard<std::mutex> lock(mutex_);
    Checkpoint cp;
    for (auto& s : segments_) {
        Segment& seg = s.second;
        if (s.first == current_ || seg.open > 0 || seg.copied.empty() || seg.checkpointing) continue;
        seg.checkpointing = true;
        cp.segments.push_back(s.first);
        cp.paths.insert(seg.copied.begin(), seg.copied.end());
    }
    return cp;
}

bool Journal::checkpointWaiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : segments_)
        if (s.first != current_ && s.second.open == 0 && !s.second.copied.empty() && !s.second.checkpointing)
            return true;
    return false;
}

void Journal::endCheckpoint(const Checkpoint& checkpoint, bool flushed) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint64_t number : checkpoint.segments) {
        auto it = segments_.find(number);
        if (it == segments_.end()) continue;
        if (flushed) removeSegment(it);
        else it->second.checkpointing = false;
    }
}

}  // namespace logserver
