#include "journal.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileOps.h"
#include "storeLayout.h"

namespace logserver {
namespace {

const char kSegmentSuffix[] = ".log";

struct Intent {
    char kind;  // 'A' or 'N'
    uint64_t size = 0;
    std::string path;
};

struct CommandRecords {
    std::vector<Intent> intents;
    bool ended = false;  // committed or undone
};

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

// Reads one segment's records into commands; a line cut short ends it.
void readSegment(const std::string& file, std::map<uint64_t, CommandRecords>& commands) {
    std::ifstream in(file, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t begin = 0;
    for (size_t end; (end = all.find('\n', begin)) != std::string::npos; begin = end + 1) {
        const std::string line = all.substr(begin, end - begin);
        if (line.size() < 3 || line[1] != ' ') continue;
        char* next = nullptr;
        const uint64_t seq = std::strtoull(line.c_str() + 2, &next, 10);
        if (next == line.c_str() + 2) continue;
        CommandRecords& c = commands[seq];
        switch (line[0]) {
            case 'C':
            case 'X': c.ended = true; break;
            case 'A': {
                if (*next != ' ') break;
                char* pathStart = nullptr;
                const uint64_t size = std::strtoull(next + 1, &pathStart, 10);
                if (pathStart == next + 1 || *pathStart != ' ' || pathStart[1] == '\0') break;
                c.intents.push_back({'A', size, pathStart + 1});
                break;
            }
            case 'N':
                if (*next == ' ' && next[1] != '\0') c.intents.push_back({'N', 0, next + 1});
                break;
            default: break;
        }
    }
}

// True when the index file at relPath holds seq's line at offset: the index
// line was written, so the command counts as stored.
bool indexHasLine(const std::string& root, const std::string& relPath, uint64_t offset, uint64_t seq) {
    std::ifstream in(root + "/" + relPath, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string line;
    if (!std::getline(in, line) || in.eof()) return false;  // no line, or one cut short
    const std::string prefix = "{\"seq\":" + std::to_string(seq) + ",";
    return line.compare(0, prefix.size(), prefix) == 0;
}

bool isUnder(const std::string& path, const char* dir) {
    const std::string prefix = std::string(dir) + "/";
    return path.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

Journal::Journal(std::string root, std::string node, bool sync)
    : root_(std::move(root)), relDir_(StoreLayout::journalDir(node)), sync_(sync) {}

Journal::~Journal() {
    for (auto& s : segments_)
        if (s.second.fd >= 0) ::close(s.second.fd);
    // Every command has ended by now: what is left records nothing to undo.
    for (const auto& s : segments_)
        if (s.second.open == 0) ::unlink((root_ + "/" + relDir_ + "/" + std::to_string(s.first) + kSegmentSuffix).c_str());
}

bool Journal::replay(std::vector<std::string>& notes, StoreError& err) {
    const std::string dir = root_ + "/" + relDir_;
    const std::vector<uint64_t> numbers = segmentsIn(dir);
    std::map<uint64_t, CommandRecords> commands;
    for (uint64_t n : numbers) readSegment(dir + "/" + std::to_string(n) + kSegmentSuffix, commands);

    // Per appended file: where unconfirmed appends began, and where confirmed
    // ones began; a file is cut back only when nothing confirmed follows.
    std::map<std::string, uint64_t> cutTo;
    std::map<std::string, uint64_t> lastKept;
    std::vector<std::pair<uint64_t, std::string>> removals;
    for (auto& entry : commands) {
        CommandRecords& c = entry.second;
        bool stored = c.ended;
        for (const Intent& i : c.intents) {
            if (!stored && i.kind == 'A' && isUnder(i.path, StoreLayout::kIndexDir))
                stored = indexHasLine(root_, i.path, i.size, entry.first);
        }
        for (const Intent& i : c.intents) {
            if (!StoreLayout::staysInStore(i.path)) continue;
            if (i.kind == 'A') {
                if (stored) {
                    auto& k = lastKept[i.path];
                    k = std::max(k, i.size + 1);
                } else {
                    auto it = cutTo.find(i.path);
                    if (it == cutTo.end() || i.size < it->second) cutTo[i.path] = i.size;
                }
            } else if (!stored) {
                removals.emplace_back(entry.first, i.path);
            }
        }
    }
    for (const auto& cut : cutTo) {
        auto kept = lastKept.find(cut.first);
        // A confirmed append after the unconfirmed one: its bytes stay, unreferenced.
        if (kept != lastKept.end() && kept->second > cut.second) continue;
        const std::string full = root_ + "/" + cut.first;
        struct stat st {};
        if (::stat(full.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) <= cut.second) continue;
        if (::truncate(full.c_str(), static_cast<off_t>(cut.second)) != 0) {
            err = StoreError::fromErrno(errno, cut.first);
            return false;
        }
        if (sync_) fileOps::syncFile(full);
        notes.push_back("cut " + cut.first + " back to " + std::to_string(cut.second) +
                        " bytes: a command was not confirmed");
    }
    for (const auto& r : removals) {
        std::error_code ec;
        if (std::filesystem::remove_all(root_ + "/" + r.second, ec) > 0)
            notes.push_back("removed " + r.second + ": seq " + std::to_string(r.first) + " was not confirmed");
    }
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
    segments_[current_].fd = fd;
    auto old = segments_.find(previous);
    if (old != segments_.end() && old->second.open == 0) {
        ::close(old->second.fd);
        ::unlink((root_ + "/" + relDir_ + "/" + std::to_string(previous) + kSegmentSuffix).c_str());
        segments_.erase(old);
    }
    return true;
}

bool Journal::write(uint64_t seq, const std::string& record, bool ends, StoreError& err) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto known = segmentOf_.find(seq);
    if (known == segmentOf_.end()) {
        if (ends) return true;  // a command that never recorded an intent
        Segment& cur = segments_[current_];
        if (cur.size >= kSegmentBytes && !startSegment(err)) return false;
        known = segmentOf_.emplace(seq, current_).first;
        ++segments_[current_].open;
    }
    Segment& s = segments_[known->second];
    if (!fileOps::writeAll(s.fd, record.data(), record.size())) {
        err = StoreError::fromErrno(errno, relDir_);
        return false;
    }
    s.size += record.size();
    if (ends) endCommand(seq);
    return true;
}

void Journal::endCommand(uint64_t seq) {
    auto known = segmentOf_.find(seq);
    if (known == segmentOf_.end()) return;
    const uint64_t number = known->second;
    segmentOf_.erase(known);
    auto s = segments_.find(number);
    if (--s->second.open > 0 || number == current_) return;
    ::close(s->second.fd);
    ::unlink((root_ + "/" + relDir_ + "/" + std::to_string(number) + kSegmentSuffix).c_str());
    segments_.erase(s);
}

bool Journal::intendAppend(uint64_t seq, const std::string& relPath, uint64_t size, StoreError& err) {
    return write(seq, "A " + std::to_string(seq) + " " + std::to_string(size) + " " + relPath + "\n", false, err);
}

bool Journal::intendCreate(uint64_t seq, const std::string& relPath, StoreError& err) {
    return write(seq, "N " + std::to_string(seq) + " " + relPath + "\n", false, err);
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

}  // namespace logserver
