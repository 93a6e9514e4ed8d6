#include "journalReplay.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "fileOps.h"
#include "storeLayout.h"

namespace logserver {
namespace {

// Blanks are written back in pieces of this size.
constexpr size_t kBlankPiece = 1 << 20;

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

bool preadAll(int fd, char* p, size_t size, uint64_t offset, size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, p + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool pwriteAll(int fd, const char* p, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Parses "<number> " at p; the position after the space, or nullptr.
const char* numberThenSpace(const char* p, uint64_t& n) {
    char* end = nullptr;
    n = std::strtoull(p, &end, 10);
    if (end == p || *end != ' ') return nullptr;
    return end + 1;
}

}  // namespace

JournalReplay::JournalReplay(std::string root, std::string dir, bool sync)
    : root_(std::move(root)), dir_(std::move(dir)), sync_(sync) {}

void JournalReplay::readSegment(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t begin = 0;
    for (size_t end; (end = all.find('\n', begin)) != std::string::npos;) {
        const std::string line = all.substr(begin, end - begin);
        begin = end + 1;
        if (line.size() < 3 || line[1] != ' ') continue;
        uint64_t seq = 0;
        const char* rest = numberThenSpace(line.c_str() + 2, seq);
        const bool bare = rest == nullptr;  // "C <seq>" and "X <seq>" end after the number
        if (bare) {
            char* end2 = nullptr;
            seq = std::strtoull(line.c_str() + 2, &end2, 10);
            if (end2 == line.c_str() + 2 || *end2 != '\0') {
                // A copy whose length cannot be read hides where the next record starts.
                if (line[0] == 'D') return;
                continue;
            }
        }
        Records& r = commands_[seq];
        switch (line[0]) {
            case 'C':
                if (bare) r.committed = true;
                break;
            case 'X':
                if (bare) r.undone = true;
                break;
            case 'A': {
                uint64_t size = 0;
                const char* path = bare ? nullptr : numberThenSpace(rest, size);
                if (path != nullptr && *path != '\0') r.intents.push_back({'A', size, path, {}, false});
                break;
            }
            case 'D': {
                uint64_t offset = 0, length = 0, crc = 0;
                const char* afterOffset = bare ? nullptr : numberThenSpace(rest, offset);
                const char* afterLength = afterOffset == nullptr ? nullptr : numberThenSpace(afterOffset, length);
                const char* path = afterLength == nullptr ? nullptr : numberThenSpace(afterLength, crc);
                if (path == nullptr || *path == '\0') return;
                // Cut short by a kill: the copy's bytes or their newline are missing.
                if (length >= all.size() - begin || all[begin + length] != '\n') return;
                const char* bytes = all.data() + begin;
                begin += length + 1;
                // Torn: still an intent to undo, but nothing to write back.
                const bool whole = ::crc32(::crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes),
                                           static_cast<uInt>(length)) == crc;
                r.intents.push_back({'A', offset, path, whole ? std::string(bytes, length) : std::string(), whole});
                break;
            }
            case 'N':
                if (!bare && *rest != '\0') r.intents.push_back({'N', 0, rest, {}, false});
                break;
            case 'U':
                if (!bare && *rest != '\0') r.cancelled.insert(rest);
                break;
            default: break;
        }
    }
}

bool JournalReplay::isStored(uint64_t seq, const Records& r) const {
    if (r.committed || r.undone) return true;
    for (const Intent& i : r.intents)
        if (i.kind == 'A' && isUnder(i.path, StoreLayout::kIndexDir) && indexHasLine(root_, i.path, i.offset, seq))
            return true;
    return false;
}

bool JournalReplay::run(const std::vector<uint64_t>& segments, std::vector<std::string>& notes, StoreError& err) {
    for (uint64_t n : segments) readSegment(dir_ + "/" + std::to_string(n) + ".log");

    std::map<std::string, std::vector<const Intent*>> copies;
    std::map<std::string, std::vector<Mark>> marks;
    std::vector<std::pair<uint64_t, std::string>> removals;
    for (const auto& entry : commands_) {
        const Records& r = entry.second;
        const bool stored = isStored(entry.first, r);
        // Undone by the server: its bytes were cut back; nothing to write again.
        const bool redone = stored && (r.committed || !r.undone);
        for (const Intent& i : r.intents) {
            if (!StoreLayout::staysInStore(i.path)) continue;
            if (i.kind == 'N') {
                if (!stored) removals.emplace_back(entry.first, i.path);
                continue;
            }
            // An empty copy marks no bytes: it must not keep a cut from happening.
            if (i.copied && i.copy.empty()) continue;
            marks[i.path].push_back({i.offset, stored});
            if (redone && i.copied && r.cancelled.count(i.path) == 0) copies[i.path].push_back(&i);
            if (stored) {
                auto& k = lastKept_[i.path];
                k = std::max(k, i.offset + 1);
            } else {
                auto it = cutTo_.find(i.path);
                if (it == cutTo_.end() || i.offset < it->second) cutTo_[i.path] = i.offset;
            }
        }
    }
    for (auto& m : marks) {
        auto& list = m.second;
        std::sort(list.begin(), list.end(), [](const Mark& a, const Mark& b) { return a.offset < b.offset; });
        if (!redo(m.first, copies[m.first], list, notes, err)) return false;
    }
    if (!cutBack(notes, err)) return false;
    for (const auto& r : removals) {
        std::error_code ec;
        if (std::filesystem::remove_all(root_ + "/" + r.second, ec) > 0)
            notes.push_back("removed " + r.second + ": seq " + std::to_string(r.first) + " was not confirmed");
    }
    return true;
}

bool JournalReplay::redo(const std::string& rel, const std::vector<const Intent*>& copies,
                         const std::vector<Mark>& marks, std::vector<std::string>& notes, StoreError& err) {
    // Lost bytes lie between an unstored append and the stored one after it.
    std::vector<std::pair<uint64_t, uint64_t>> gaps;
    for (size_t i = 0; i < marks.size(); ++i) {
        if (marks[i].stored) continue;
        auto next = std::find_if(marks.begin() + static_cast<long>(i), marks.end(),
                                 [&](const Mark& m) { return m.stored && m.offset > marks[i].offset; });
        if (next != marks.end()) gaps.emplace_back(marks[i].offset, next->offset);
    }
    if (copies.empty() && gaps.empty()) return true;
    const std::string full = root_ + "/" + rel;
    const int fd = ::open(full.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;  // removed since: nothing to put back
        err = StoreError::fromErrno(errno, rel);
        return false;
    }
    uint64_t restored = 0, blanked = 0;
    bool ok = true;
    std::string have;
    for (const Intent* c : copies) {
        have.resize(c->copy.size());
        size_t got = 0;
        if (!preadAll(fd, &have[0], have.size(), c->offset, got)) ok = false;
        if (!ok || (got == have.size() && have == c->copy)) continue;
        ok = pwriteAll(fd, c->copy.data(), c->copy.size(), c->offset);
        restored += c->copy.size();
    }
    for (const auto& gap : gaps) {
        for (uint64_t at = gap.first; ok && at < gap.second;) {
            have.resize(static_cast<size_t>(std::min<uint64_t>(kBlankPiece, gap.second - at)));
            size_t got = 0;
            ok = preadAll(fd, &have[0], have.size(), at, got);
            have.resize(got);
            if (!ok || got == 0) break;
            const bool last = at + got == gap.second;
            if (have.find('\0') != std::string::npos) {
                std::replace(have.begin(), have.end(), '\0', ' ');
                if (last) have.back() = '\n';
                ok = pwriteAll(fd, have.data(), have.size(), at);
                blanked += got;
            }
            at += got;
        }
    }
    if (ok && sync_ && restored + blanked > 0) ok = ::fdatasync(fd) == 0;
    if (!ok) err = StoreError::fromErrno(errno, rel);
    ::close(fd);
    if (restored > 0)
        notes.push_back("wrote " + std::to_string(restored) + " bytes of confirmed commands back into " + rel);
    if (blanked > 0)
        notes.push_back("blanked " + std::to_string(blanked) + " bytes of unconfirmed commands in " + rel);
    return ok;
}

bool JournalReplay::cutBack(std::vector<std::string>& notes, StoreError& err) {
    for (const auto& cut : cutTo_) {
        auto kept = lastKept_.find(cut.first);
        // A stored append after the unstored one: its bytes stay, unreferenced.
        if (kept != lastKept_.end() && kept->second > cut.second) continue;
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
    return true;
}

}  // namespace logserver
