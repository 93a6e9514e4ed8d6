#include "layoutConversion.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileOps.h"
#include "storeLayout.h"
#include "tokenRegistry.h"

namespace logserver {
namespace {

namespace fs = std::filesystem;

const char kPendingDir[] = "pending";
const char kCursorPrefix[] = "index.pgcursor.";
const char kPlanFile[] = "plan";
const char kCursorDir[] = "pgcursor";
const char kSeqPrefix[] = "{\"seq\":";
// Bytes held for the staged files before they are written out.
constexpr size_t kStagedBufferBytes = 16 << 20;

bool isRegularFile(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool exists(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

uint64_t fileSize(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

bool makeDirs(const std::string& dir, std::string& error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) error = dir + ": " + ec.message();
    return !ec;
}

// A store-relative path ending in ".log" directly in errlog/: a client's
// whole error log of the earlier layout.
bool isOldErrlog(const std::string& rel) {
    const std::string dir = std::string(StoreLayout::kErrlogDir) + "/";
    return rel.size() > dir.size() + 4 && rel.compare(0, dir.size(), dir) == 0 &&
           rel.find('/', dir.size()) == std::string::npos && rel.compare(rel.size() - 4, 4, ".log") == 0;
}

bool isAppendedPath(const std::string& rel) {
    return StoreLayout::staysInStore(rel) && (rel.rfind("errlog/", 0) == 0 || rel.rfind("detail/", 0) == 0);
}

// A meta file of the earlier layout: meta/<name>.json, directly in meta/.
bool isOldMeta(const std::string& rel) {
    return StoreLayout::staysInStore(rel) && rel.rfind("meta/", 0) == 0 && rel.find('/', 5) == std::string::npos &&
           rel.size() > 10 && rel.compare(rel.size() - 5, 5, ".json") == 0;
}

uint64_t uint64Member(const rapidjson::Value& v, const char* key) {
    auto it = v.FindMember(key);
    return it != v.MemberEnd() && it->value.IsUint64() ? it->value.GetUint64() : 0;
}

std::string stringMember(const rapidjson::Value& v, const char* key) {
    auto it = v.FindMember(key);
    return it != v.MemberEnd() && it->value.IsString() ? std::string(it->value.GetString(), it->value.GetStringLength())
                                                       : std::string();
}

std::string dayOfLine(const rapidjson::Value& v) {
    const std::string time = stringMember(v, "time");
    const std::string day = time.substr(0, 10);
    return StoreLayout::isDay(day) ? day : std::string();
}

std::string todayUtc() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

// Written aside, flushed and renamed, so that a kill leaves the old file or the new.
bool writeDurably(const std::string& file, const std::string& text, bool sync, std::string& error) {
    const std::string tmp = file + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && fileOps::writeAll(fd, text.data(), text.size()) && (!sync || ::fsync(fd) == 0);
    if (fd >= 0) ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), file.c_str()) == 0 && (!sync || fileOps::syncDir(fileOps::parentOf(file)));
    if (!ok) error = errnoText(file);
    return ok;
}

bool readNumber(const std::string& text, uint64_t& n) {
    if (text.empty() || text.size() > 20) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    n = v;
    return true;
}

}  // namespace

// The index days and meta day logs being built under the work folder, with
// their sizes so far (the offsets the rewritten lines point at).
class LayoutConversion::StagedDays {
public:
    StagedDays(std::string dir, bool sync) : dir_(std::move(dir)), sync_(sync) {}

    uint64_t indexSize(const std::string& day) { return files_[StoreLayout::indexDay(day)].size; }
    uint64_t metaSize(const std::string& day) { return files_[StoreLayout::metaDay(day)].size; }

    bool appendIndex(const std::string& day, const std::string& bytes, std::string& error) {
        return append(StoreLayout::indexDay(day), bytes, error);
    }
    bool appendMeta(const std::string& day, const std::string& bytes, std::string& error) {
        return append(StoreLayout::metaDay(day), bytes, error);
    }

    // Everything written and flushed; the files' store-relative names.
    bool finish(std::vector<std::string>& names, std::string& error) {
        if (!flushAll(error)) return false;
        for (const auto& f : files_) {
            if (sync_ && !fileOps::syncFile(dir_ + "/" + f.first)) {
                error = errnoText(f.first);
                return false;
            }
            names.push_back(f.first);
        }
        for (const char* sub : {StoreLayout::kIndexDir, StoreLayout::kMetaDir})
            if (sync_ && exists(dir_ + "/" + sub)) fileOps::syncDir(dir_ + "/" + sub);
        return true;
    }

private:
    struct File {
        uint64_t size = 0;
        std::string pending;
    };

    bool append(const std::string& rel, const std::string& bytes, std::string& error) {
        File& f = files_[rel];
        f.pending += bytes;
        f.size += bytes.size();
        buffered_ += bytes.size();
        return buffered_ < kStagedBufferBytes || flushAll(error);
    }

    bool flushAll(std::string& error) {
        for (auto& f : files_) {
            if (f.second.pending.empty()) continue;
            const std::string full = dir_ + "/" + f.first;
            int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd < 0 && errno == ENOENT && makeDirs(fileOps::parentOf(full), error))
                fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            const bool ok = fd >= 0 && fileOps::writeAll(fd, f.second.pending.data(), f.second.pending.size());
            if (!ok) error = errnoText(full);
            if (fd >= 0) ::close(fd);
            if (!ok) return false;
            f.second.pending.clear();
            f.second.pending.shrink_to_fit();
        }
        buffered_ = 0;
        return true;
    }

    const std::string dir_;
    const bool sync_;
    std::map<std::string, File> files_;
    size_t buffered_ = 0;
};

LayoutConversion::LayoutConversion(std::string root, Log log) : root_(std::move(root)), log_(std::move(log)) {}

bool LayoutConversion::step() {
    if (stopAfter_ != 0 && steps_ >= stopAfter_) return false;
    ++steps_;
    return true;
}

LayoutConversion::Status LayoutConversion::run(std::string& error) {
    const bool resuming = exists(path(kCommitMarker));
    if (!resuming && !exists(path(StoreLayout::kOldIndexFile))) {
        // A build a kill interrupted before its commit: nothing of it is used.
        if (exists(path(kWorkDir))) {
            std::error_code ec;
            fs::remove_all(path(kWorkDir), ec);
        }
        return Status::NothingToDo;
    }
    const auto started = std::chrono::steady_clock::now();
    if (resuming) {
        log_(root_ + ": finishing the conversion to index days that an earlier start began");
    } else {
        if (exists(path(StoreLayout::kIndexDir))) {
            error = root_ + ": holds both index.jsonl and index/: not converted; move one of them aside";
            return Status::Failed;
        }
        log_(root_ + ": converting the store from index.jsonl to index days");
        if (!repair(error)) return steps_ == stopAfter_ && stopAfter_ ? Status::Stopped : Status::Failed;
        if (!build(error)) return steps_ == stopAfter_ && stopAfter_ ? Status::Stopped : Status::Failed;
    }
    if (!commit(error)) return steps_ == stopAfter_ && stopAfter_ ? Status::Stopped : Status::Failed;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    log_(root_ + ": converted to index days in " + std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) +
         " s");
    return Status::Converted;
}

// ---- phase 1: what the earlier server's start did

bool LayoutConversion::repair(std::string& error) {
    return cutTornLine(error) && undoPending(error);
}

bool LayoutConversion::cutTornLine(std::string& error) {
    const std::string index = path(StoreLayout::kOldIndexFile);
    const int fd = ::open(index.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        error = errnoText(index);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    off_t keep = ok ? st.st_size : 0;
    char last = '\n';
    if (ok && keep > 0) ok = ::pread(fd, &last, 1, keep - 1) == 1;
    if (ok && last != '\n') {
        char buf[4096];
        bool found = false;
        keep -= 1;
        while (keep > 0 && !found) {
            const off_t from = keep > static_cast<off_t>(sizeof buf) ? keep - static_cast<off_t>(sizeof buf) : 0;
            const ssize_t n = ::pread(fd, buf, static_cast<size_t>(keep - from), from);
            if (n <= 0) break;
            for (ssize_t i = n - 1; i >= 0 && !found; --i) {
                if (buf[i] == '\n') {
                    keep = from + i + 1;
                    found = true;
                }
            }
            if (!found) keep = from;
        }
        ok = step() && ::ftruncate(fd, keep) == 0 && (!sync_ || ::fsync(fd) == 0);
        if (ok) log_(root_ + ": index.jsonl: cut a torn last line of " + std::to_string(st.st_size - keep) + " bytes");
    }
    if (!ok) error = errnoText(index);
    ::close(fd);
    return ok;
}

// An append whose command never got its index line is cut back to where it
// started; the record goes once that is done.
bool LayoutConversion::undoPending(std::string& error) {
    const std::string dir = path(kPendingDir);
    std::vector<std::pair<uint64_t, std::string>> records;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        uint64_t seq = 0;
        if (name[0] != '.' && readNumber(name, seq)) records.emplace_back(seq, name);
    }
    if (records.empty()) return true;
    std::set<uint64_t> found;
    {
        std::ifstream in(path(StoreLayout::kOldIndexFile), std::ios::binary);
        const size_t n = std::strlen(kSeqPrefix);
        for (std::string line; std::getline(in, line);)
            if (line.compare(0, n, kSeqPrefix) == 0) found.insert(std::strtoull(line.c_str() + n, nullptr, 10));
    }
    for (const auto& record : records) {
        std::ifstream in(dir + "/" + record.second);
        long long size = -1;
        std::string rel;
        in >> size;
        in.get();
        std::getline(in, rel);
        const std::string target = path(rel);
        if (!found.count(record.first) && size >= 0 && StoreLayout::staysInStore(rel) && isRegularFile(target) &&
            fileSize(target) > static_cast<uint64_t>(size)) {
            if (!step()) return false;
            if (::truncate(target.c_str(), static_cast<off_t>(size)) != 0 || (sync_ && !fileOps::syncFile(target))) {
                error = errnoText(rel);
                return false;
            }
            log_(root_ + ": cut " + rel + " back to " + std::to_string(size) + " bytes: seq " + record.second +
                 " was not confirmed");
        }
        if (!step()) return false;
        ::unlink((dir + "/" + record.second).c_str());
    }
    return true;
}

// ---- phase 2: the new files, under the work folder

bool LayoutConversion::build(std::string& error) {
    std::error_code ec;
    fs::remove_all(path(kWorkDir), ec);
    if (!step() || !makeDirs(path(kWorkDir), error)) return false;
    uint64_t lines = 0;
    std::string firstDay;
    if (!scanAppends(lines, firstDay, error)) return false;
    planErrlogMoves();
    readOldCursors();
    log_(root_ + ": " + std::to_string(lines) + " index lines to convert");
    if (!splitIndex(lines, firstDay, error)) return false;
    if (metaMissing_ > 0)
        log_(root_ + ": " + std::to_string(metaMissing_) + " index lines name a meta file that is gone; kept as they are");
    return writePlan(error);
}

// Pass one: the commands of every appended file, to know each one's byte
// range and the day an error log moves to.
bool LayoutConversion::scanAppends(uint64_t& lines, std::string& firstDay, std::string& error) {
    std::ifstream in(path(StoreLayout::kOldIndexFile), std::ios::binary);
    if (!in) {
        error = errnoText(StoreLayout::kOldIndexFile);
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        ++lines;
        rapidjson::Document doc;
        doc.Parse(line.data(), line.size());
        if (doc.HasParseError() || !doc.IsObject()) continue;
        const std::string day = dayOfLine(doc);
        if (firstDay.empty()) firstDay = day;
        const std::string rel = stringMember(doc, "path");
        if (doc.HasMember("rejected") || !isAppendedPath(rel)) continue;
        AppendedFile& f = appended_[rel];
        f.expected += uint64Member(doc, "inflatedSize");
        if (day > f.newestDay) f.newestDay = day;
    }
    for (auto& entry : appended_) {
        // A file whose size is not the sum of its commands was changed by hand
        // or damaged: its lines get no range rather than a wrong one.
        entry.second.rangesKnown = isRegularFile(path(entry.first)) && fileSize(path(entry.first)) == entry.second.expected;
    }
    return true;
}

// Each client's error log goes to the day of its newest line. Where the
// folder it needs is taken by a file that stays, it stays too.
void LayoutConversion::planErrlogMoves() {
    for (auto& entry : appended_) {
        const std::string& rel = entry.first;
        if (!isOldErrlog(rel) || entry.second.newestDay.empty() || !isRegularFile(path(rel))) continue;
        const std::string folder = rel.substr(0, rel.size() - 4);
        const auto blocker = appended_.find(folder);
        const bool folderFree = !exists(path(folder)) ? true
                                : isRegularFile(path(folder)) ? blocker != appended_.end() && isOldErrlog(folder)
                                                              : true;
        if (!folderFree) continue;
        const std::string to = folder + "/" + entry.second.newestDay + ".log";
        if (exists(path(to))) continue;
        entry.second.movedTo = to;
    }
}

// Cursors of the earlier form hold a bare byte offset into index.jsonl.
void LayoutConversion::readOldCursors() {
    std::error_code ec;
    for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kCursorPrefix, 0) != 0 || name.size() <= std::strlen(kCursorPrefix)) continue;
        const std::string node = name.substr(std::strlen(kCursorPrefix));
        if (node.size() > 4 && node.compare(node.size() - 4, 4, ".tmp") == 0) continue;
        std::ifstream in(it->path());
        std::string text;
        std::getline(in, text);
        uint64_t offset = 0;
        if (readNumber(text, offset)) cursors_[node].oldOffset = offset;
    }
}

// Pass two: every line goes to its day's index file, rewritten for the new layout.
bool LayoutConversion::splitIndex(uint64_t lines, const std::string& firstDay, std::string& error) {
    StagedDays staged(path(kWorkDir), sync_);
    staged_ = &staged;
    std::ifstream in(path(StoreLayout::kOldIndexFile), std::ios::binary);
    std::string day = firstDay.empty() ? todayUtc() : firstDay;
    std::set<std::string> days;
    uint64_t oldOffset = 0;
    uint64_t done = 0;
    bool ok = true;
    for (std::string line; ok && std::getline(in, line);) {
        rapidjson::Document doc;
        doc.Parse(line.data(), line.size());
        const bool parsed = !doc.HasParseError() && doc.IsObject();
        if (parsed) {
            const std::string own = dayOfLine(doc);
            if (!own.empty()) day = own;  // a line without a time stays with the one before it
        }
        for (auto& c : cursors_) {
            if (oldOffset < c.second.oldOffset) continue;
            const uint64_t at = staged.indexSize(day);
            if (!c.second.placed || day < c.second.day || (day == c.second.day && at < c.second.offset))
                c.second = {c.second.oldOffset, day, at, true};
        }
        const std::string converted = parsed ? convertLine(doc, day) : std::string();
        ok = staged.appendIndex(day, (parsed ? converted : line) + "\n", error);
        days.insert(day);
        oldOffset += line.size() + 1;
        if (++done % kProgressLines == 0)
            log_(root_ + ": converted " + std::to_string(done) + " of " + std::to_string(lines) + " index lines");
    }
    staged_ = nullptr;
    if (!ok) return false;
    // Cursors past every line: all of it was shipped.
    for (auto& c : cursors_) {
        if (c.second.placed || days.empty()) continue;
        c.second = {c.second.oldOffset, *days.rbegin(), staged.indexSize(*days.rbegin()), true};
    }
    days_.assign(days.begin(), days.end());
    std::vector<std::string> names;
    if (!step() || !staged.finish(names, error)) return false;
    return true;
}

// The line with its meta moved into the day's meta log, its error log's new
// path, and its byte range; members keep their order.
std::string LayoutConversion::convertLine(rapidjson::Document& doc, const std::string& day) {
    const std::string rel = stringMember(doc, "path");
    const AppendedFile* file = nullptr;
    uint64_t offset = 0;
    const uint64_t length = uint64Member(doc, "inflatedSize");
    auto found = appended_.find(rel);
    if (found != appended_.end() && !doc.HasMember("rejected")) {
        file = &found->second;
        offset = found->second.written;
        found->second.written += length;
    }
    std::string metaRef;
    const std::string meta = stringMember(doc, "meta");
    if (isOldMeta(meta)) {
        std::ifstream metaIn(path(meta), std::ios::binary);
        if (metaIn) {
            std::string bytes((std::istreambuf_iterator<char>(metaIn)), std::istreambuf_iterator<char>());
            std::string error;
            const uint64_t at = staged_->metaSize(day);
            if (staged_->appendMeta(day, bytes, error)) {
                metaRef = StoreLayout::metaDay(day) + ":" + std::to_string(at) + ":" + std::to_string(bytes.size());
                ++metaFiles_;
            }
        } else {
            ++metaMissing_;
        }
    }
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    w.StartObject();
    for (auto& m : doc.GetObject()) {
        const std::string key(m.name.GetString(), m.name.GetStringLength());
        if (key == "offset" || key == "length") continue;  // given anew below
        w.Key(m.name.GetString(), m.name.GetStringLength());
        if (key == "meta" && !metaRef.empty()) {
            w.String(metaRef.data(), static_cast<rapidjson::SizeType>(metaRef.size()));
        } else if (key == "path" && file && !file->movedTo.empty()) {
            w.String(file->movedTo.data(), static_cast<rapidjson::SizeType>(file->movedTo.size()));
        } else {
            m.value.Accept(w);
        }
        if (key == "path" && file && file->rangesKnown) {
            w.Key("offset");
            w.Uint64(offset);
            w.Key("length");
            w.Uint64(length);
        }
    }
    w.EndObject();
    return std::string(buf.GetString(), buf.GetSize());
}

// The plan the commit follows: the files to rename into place, in order.
// Shorter error log names first: "errlog/a.log" must be gone before
// "errlog/a.log.log" can become "errlog/a.log/<day>.log".
bool LayoutConversion::writePlan(std::string& error) {
    std::string plan;
    const auto add = [&plan](const std::string& from, const std::string& to) { plan += from + "\t" + to + "\n"; };
    for (const auto& day : days_) {
        add(std::string(kWorkDir) + "/" + StoreLayout::indexDay(day), StoreLayout::indexDay(day));
        if (exists(path(std::string(kWorkDir) + "/" + StoreLayout::metaDay(day))))
            add(std::string(kWorkDir) + "/" + StoreLayout::metaDay(day), StoreLayout::metaDay(day));
    }
    std::vector<std::pair<std::string, std::string>> moves;
    for (const auto& entry : appended_)
        if (!entry.second.movedTo.empty()) moves.emplace_back(entry.first, entry.second.movedTo);
    std::stable_sort(moves.begin(), moves.end(),
                     [](const auto& a, const auto& b) { return a.first.size() < b.first.size(); });
    for (const auto& m : moves) {
        // A name with a tab or line end cannot be written in the plan: that log stays.
        if (m.first.find_first_of("\t\n") != std::string::npos) continue;
        add(m.first, m.second);
    }
    if (!makeDirs(path(std::string(kWorkDir) + "/" + kCursorDir), error)) return false;
    for (const auto& c : cursors_) {
        if (!c.second.placed) continue;
        const std::string staged = std::string(kWorkDir) + "/" + kCursorDir + "/" + c.first;
        if (!step() || !writeDurably(path(staged), c.second.day + " " + std::to_string(c.second.offset) + "\n", sync_, error))
            return false;
        add(staged, kCursorPrefix + c.first);
    }
    if (!step() || !writeDurably(path(std::string(kWorkDir) + "/" + kPlanFile), plan, sync_, error)) return false;
    if (sync_ && !fileOps::syncDir(path(kWorkDir))) {
        error = errnoText(kWorkDir);
        return false;
    }
    log_(root_ + ": " + std::to_string(metaFiles_) + " meta files into " + std::to_string(days_.size()) +
         " days, " + std::to_string(moves.size()) + " error logs to move");
    // From here on the next start finishes the conversion instead of starting it again.
    return step() && writeDurably(path(kCommitMarker), "commit\n", sync_, error);
}

// ---- phase 3: into place, then the old files go

bool LayoutConversion::commit(std::string& error) {
    std::ifstream in(path(std::string(kWorkDir) + "/" + kPlanFile), std::ios::binary);
    std::set<std::string> dirsToSync{root_};
    for (std::string line; in && std::getline(in, line);) {
        const size_t tab = line.find('\t');
        const std::string from = line.substr(0, tab == std::string::npos ? 0 : tab);
        const std::string to = tab == std::string::npos ? std::string() : line.substr(tab + 1);
        if (!StoreLayout::staysInStore(from) || !StoreLayout::staysInStore(to)) {
            error = root_ + ": the conversion's plan is damaged: " + line.substr(0, 200);
            return false;
        }
        if (!moveIntoPlace(from, to, error)) return false;
        dirsToSync.insert(fileOps::parentOf(path(to)));
    }
    for (const auto& dir : dirsToSync) {
        if (sync_ && !fileOps::syncDir(dir)) {
            error = errnoText(dir);
            return false;
        }
    }
    return removeOldFiles(error);
}

// Done already when from is gone and to is there.
bool LayoutConversion::moveIntoPlace(const std::string& from, const std::string& to, std::string& error) {
    if (!isRegularFile(path(from))) {
        if (exists(path(to))) return true;
        log_(root_ + ": " + from + " is gone before it was moved to " + to);
        return true;
    }
    if (!step()) return false;
    if (!makeDirs(fileOps::parentOf(path(to)), error)) return false;
    if (::rename(path(from).c_str(), path(to).c_str()) != 0) {
        error = errnoText(from + " -> " + to);
        return false;
    }
    return true;
}

// The new files are durable now; the index goes first, then what only it
// referred to, then the work folder and last the marker.
bool LayoutConversion::removeOldFiles(std::string& error) {
    const std::string index = path(StoreLayout::kOldIndexFile);
    if (exists(index)) {
        if (!step()) return false;
        if (::unlink(index.c_str()) != 0) {
            error = errnoText(index);
            return false;
        }
    }
    uint64_t removed = 0;
    std::error_code ec;
    for (const char* dir : {StoreLayout::kMetaDir, kPendingDir}) {
        for (fs::directory_iterator it(path(dir), ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            const bool spare = name.rfind(".spare-", 0) == 0;
            const bool old = std::string(dir) == kPendingDir || isOldMeta(std::string(dir) + "/" + name);
            if (!spare && !old) continue;
            if (!step()) return false;
            if (::unlink(it->path().c_str()) == 0) ++removed;
        }
    }
    if (exists(path(kPendingDir))) {
        if (!step()) return false;
        ::rmdir(path(kPendingDir).c_str());
    }
    if (removed > 0) log_(root_ + ": removed " + std::to_string(removed) + " meta, spare and pending files");
    if (exists(path(kWorkDir))) {
        if (!step()) return false;
        fs::remove_all(path(kWorkDir), ec);
        if (ec) {
            error = path(kWorkDir) + ": " + ec.message();
            return false;
        }
    }
    if (!step()) return false;
    ::unlink(path(kCommitMarker).c_str());
    if (sync_) fileOps::syncDir(root_);
    return true;
}

LayoutConversion::Status LayoutConversion::convertAll(const std::string& root, bool organisations, const Log& log,
                                                      std::string& error) {
    return convertAll(root, organisations, log, error, Testing{});
}

LayoutConversion::Status LayoutConversion::convertAll(const std::string& root, bool organisations, const Log& log,
                                                      std::string& error, const Testing& testing) {
    std::vector<std::string> stores{root};
    std::error_code ec;
    if (organisations) {
        std::set<std::string> names;
        for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            std::error_code statError;
            // Only folders with something to convert: the store's own folders
            // (detail/, meta/, ...) have names an organisation may have too.
            const std::string dir = it->path().string();
            if (TokenRegistry::validOrganisation(name) && it->is_directory(statError) &&
                (exists(dir + "/" + StoreLayout::kOldIndexFile) || exists(dir + "/" + kCommitMarker)))
                names.insert(name);
        }
        for (const auto& name : names) stores.push_back(root + "/" + name);
    }
    Status result = Status::NothingToDo;
    uint64_t stepsLeft = testing.stopAfterSteps;
    for (size_t i = 0; i < stores.size(); ++i) {
        if (testing.stopAfterSteps != 0 && stepsLeft == 0) return Status::Stopped;
        LayoutConversion conversion(stores[i], log);
        conversion.stopAfterSteps(stepsLeft);
        conversion.sync_ = testing.sync;
        const Status s = conversion.run(error);
        if (s == Status::Failed || s == Status::Stopped) return s;
        if (s == Status::Converted) result = s;
        if (testing.stopAfterSteps != 0) stepsLeft -= conversion.steps();
    }
    return result;
}

}  // namespace logserver
