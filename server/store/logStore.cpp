#include "logStore.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include "fileOps.h"
#include "storeIndex.h"
#include "retentionSweep.h"
#include "storeLayout.h"
#include "utcTime.h"

namespace logserver {
namespace {

// Numbers reserved per write of seq.reserved; a crash skips at most these.
constexpr uint64_t kSeqBlock = 1024;
// Folders remembered by placeFile; past this the memory starts again empty
// (clients choose detail folder names, so there is no natural bound).
constexpr size_t kMaxKnownDirs = 4096;

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

StoreError errorFromErrno(int code, const std::string& what) { return StoreError::fromErrno(code, what); }

bool writeAll(int fd, const char* p, size_t left) { return fileOps::writeAll(fd, p, left); }

// 0 missing, 1 file (or anything not a folder), 2 folder.
int kindOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    return S_ISDIR(st.st_mode) ? 2 : 1;
}

uint64_t readNumberFile(const std::string& path) {
    std::ifstream in(path);
    uint64_t n = 0;
    in >> n;
    return in ? n : 0;
}

// Bytes of the files under root: what a store holds against its quota.
uint64_t bytesUnder(const std::string& root) {
    uint64_t total = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) total += it->file_size(sizeError);
    }
    return total;
}

bool isNodeByte(unsigned char c) { return std::isalnum(c) || c == '.' || c == '_' || c == '-'; }

}  // namespace

std::string formatSeq(uint64_t seq) { return std::to_string(seq); }

std::string LogStore::seqName(uint64_t seq) const {
    return options_.node.empty() ? formatSeq(seq) : options_.node + "-" + formatSeq(seq);
}

bool LogStore::validNodeName(const std::string& node) {
    if (node.empty() || node.size() > 64 || node[0] == '.' || node[0] == '-') return false;
    for (unsigned char c : node)
        if (!isNodeByte(c)) return false;
    return true;
}

std::string LogStore::defaultNodeName() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    std::string name;
    for (unsigned char c : std::string(host)) name += isNodeByte(c) ? static_cast<char>(c) : '_';
    if (name.size() > 64) name.resize(64);
    if (name.empty() || name[0] == '.' || name[0] == '-') name.insert(name.begin(), 'n');
    return name;
}

// ---- FileWriter

FileWriter::FileWriter(LogStore& store, std::string relPath, bool append, uint64_t seq)
    : store_(store), relPath_(std::move(relPath)), append_(append), seq_(seq) {}

FileWriter::~FileWriter() {
    if (!committed_) revert();
    if (fd_ >= 0) {
        // A reverted file is opened afresh by the next command.
        if (committed_ && reusable_) store_.appendFiles_.give(relPath_, fd_, reused_ ? &stat_ : nullptr);
        else ::close(fd_);
    }
}

bool FileWriter::write(const char* data, size_t size, StoreError& err) {
    if (size == 0) return true;  // the inflater's last, empty piece: nothing to record
    if (copying_) {
        const uint64_t at = static_cast<uint64_t>(oldSize_) + written_;
        if (!store_.journal_.intendCopiedAppend(seq_, relPath_, at, data, size, copying_, err)) return false;
    }
    if (writeAll(fd_, data, size)) {
        written_ += size;
        store_.usedBytes_ += size;
        return true;
    }
    err = errorFromErrno(errno, relPath_);
    return false;
}

bool FileWriter::flush(StoreError& err) {
    if (!store_.options_.sync) return true;
    const std::string full = store_.root_ + "/" + relPath_;
    if (append_ && copying_) return true;  // the journal holds the bytes
    if (append_) {
        if (store_.toFlush_.noteAppended(fd_)) return true;
        err = errorFromErrno(errno, relPath_);
        return false;
    }
    store_.toFlush_.noteCreated(full);
    store_.noteDirOf(full);
    return true;
}

void FileWriter::commit() { committed_ = true; }

void FileWriter::revert() {
    if (fd_ < 0) return;
    // The command may go on (quarantined) and commit: what it copied of
    // these bytes must not come back at replay.
    StoreError ignored;
    if (append_ && store_.options_.sync) store_.journal_.cancelCopies(seq_, relPath_, ignored);
    if (append_ && existed_) {
        if (::ftruncate(fd_, static_cast<off_t>(oldSize_)) == 0 && store_.options_.sync) ::fsync(fd_);
    } else {
        ::unlink((store_.root_ + "/" + relPath_).c_str());
    }
}

// ---- LogStore

namespace {
std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}
}  // namespace

LogStore::LogStore(std::string root, StoreOptions options)
    : root_(withoutTrailingSlashes(std::move(root))),
      options_(options),
      appendFiles_(options.openAppendFiles),
      journal_(root_, options.node, options.sync),
      index_(root_, StoreLayout::indexDay, options.sync),
      meta_(root_, StoreLayout::metaDay, options.sync),
      checkpointer_(root_, journal_),
      groupSync_([this] { return gatherRound(); }) {}

LogStore::~LogStore() = default;

bool LogStore::open(StoreError& err, std::vector<std::string>& notes) {
    std::error_code ec;
    std::filesystem::create_directories(root_, ec);
    if (ec) {
        err = {"store not writable: " + root_ + ": " + ec.message()};
        return false;
    }
    bool ok = true;
    const uint64_t indexed = lastIndexedSeq(notes, ok);
    if (!ok) {
        err = errorFromErrno(errno, StoreLayout::kIndexDir);
        return false;
    }
    if (!journal_.replay(notes, err) || !journal_.open(err)) return false;
    const uint64_t reserved = readNumberFile(root_ + "/" + StoreLayout::kSeqFile);
    lastSeq_ = reservedUpTo_ = indexed > reserved ? indexed : reserved;
    uint64_t rejected = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(root_ + "/rejected", ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) rejected += it->file_size(sizeError);
    }
    rejectedBytes_ = rejected;
    if (options_.quotaBytes > 0) usedBytes_ = bytesUnder(root_);
    return true;
}

uint64_t LogStore::lastIndexedSeq(std::vector<std::string>& notes, bool& ok) {
    std::string newest;
    if (DIR* d = ::opendir((root_ + "/" + StoreLayout::kIndexDir).c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string day = StoreLayout::dayOfIndexFile(e->d_name);
            if (!day.empty() && day > newest) newest = day;
        }
        ::closedir(d);
    }
    if (newest.empty()) return 0;
    const std::string rel = StoreLayout::indexDay(newest);
    newestIndexDay_ = rel;
    ok = repairIndex(root_ + "/" + rel, rel, options_.sync, notes);
    return scanIndex(root_ + "/" + rel, {}).lastSeq;
}

bool LogStore::reserveSeq(uint64_t& seq, StoreError& err) {
    std::lock_guard<std::mutex> lock(seqMutex_);
    if (lastSeq_ >= reservedUpTo_) {
        const uint64_t upTo = lastSeq_ + kSeqBlock;
        const std::string tmp = root_ + "/" + StoreLayout::kSeqFile + ".tmp";
        const std::string text = std::to_string(upTo) + "\n";
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool ok = fd >= 0 && writeAll(fd, text.data(), text.size()) && (!options_.sync || ::fsync(fd) == 0);
        if (fd >= 0) ::close(fd);
        ok = ok && ::rename(tmp.c_str(), (root_ + "/" + StoreLayout::kSeqFile).c_str()) == 0;
        if (!ok) {
            err = errorFromErrno(errno, StoreLayout::kSeqFile);
            return false;
        }
        if (options_.sync && !syncDirOf(root_ + "/" + StoreLayout::kSeqFile, err)) return false;
        reservedUpTo_ = upTo;
    }
    seq = ++lastSeq_;
    return true;
}

bool LogStore::checkFreeSpace(StoreError& err) {
    // A check that passed holds briefly, as the floor is far above what one
    // command writes; one that failed is made again, so freed room is seen.
    const int64_t now = steadyMs();
    if (now < freeSpaceOkUntilMs_.load(std::memory_order_relaxed)) return true;
    struct statvfs vfs {};
    if (::statvfs(root_.c_str(), &vfs) != 0) {
        err = errorFromErrno(errno, "store");
        return false;
    }
    const uint64_t freeBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    if (freeBytes >= options_.minFreeBytes) {
        freeSpaceOkUntilMs_.store(now + kFreeSpaceCheckMs, std::memory_order_relaxed);
        return true;
    }
    err = {"disk below the free-space floor: " + std::to_string(freeBytes >> 20) + " MiB free, floor " +
           std::to_string(options_.minFreeBytes >> 20) + " MiB"};
    return false;
}

void LogStore::noteDirOf(const std::string& fullPath) {
    if (options_.sync) toFlush_.noteFolder(fileOps::parentOf(fullPath));
}

bool LogStore::syncDirOf(const std::string& fullPath, StoreError& err) {
    if (!options_.sync) return true;
    const std::string dir = fileOps::parentOf(fullPath);
    if (fileOps::syncDir(dir)) return true;
    err = errorFromErrno(errno, dir.size() > root_.size() ? dir.substr(root_.size() + 1) : "store");
    return false;
}

std::mutex& LogStore::lockFor(const std::string& relPath) {
    return fileLocks_[std::hash<std::string>()(relPath) % fileLocks_.size()];
}

bool LogStore::placeFile(const std::string& relPath, std::string& placed, StoreError& err) {
    std::lock_guard<std::mutex> lock(layoutMutex_);
    placed.clear();
    size_t begin = 0;
    for (;;) {
        const size_t end = relPath.find('/', begin);
        if (end != std::string::npos) {
            auto known = knownDirs_.find(relPath.substr(0, end));
            if (known != knownDirs_.end()) {
                placed = known->second;
                begin = end + 1;
                continue;
            }
        }
        std::string part = relPath.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        std::string candidate = placed.empty() ? part : placed + "/" + part;
        const int kind = kindOf(root_ + "/" + candidate);
        if (end == std::string::npos) {
            placed = kind == 2 ? candidate + "#file" : candidate;
            return true;
        }
        if (kind == 1) candidate += "#dir";
        if (::mkdir((root_ + "/" + candidate).c_str(), 0755) == 0) {
            noteDirOf(root_ + "/" + candidate);
        } else if (errno != EEXIST) {
            err = errorFromErrno(errno, candidate);
            return false;
        }
        placed = candidate;
        if (knownDirs_.size() >= kMaxKnownDirs) knownDirs_.clear();
        knownDirs_.emplace(relPath.substr(0, end), placed);
        begin = end + 1;
    }
}

void LogStore::forgetDirs() {
    std::lock_guard<std::mutex> lock(layoutMutex_);
    knownDirs_.clear();
}

int LogStore::openPlaced(const std::string& relPath, int flags) {
    const std::string full = root_ + "/" + relPath;
    int fd = ::open(full.c_str(), flags, 0644);
    if (fd >= 0 || (errno != ENOENT && errno != ENOTDIR)) return fd;
    const int code = errno;
    // A folder placeFile knew of is gone: nothing remembered is trusted now.
    // One turned into a file is placed anew by placeAndOpen at once; for
    // other files this command fails and its retry places them anew.
    forgetDirs();
    if (code == ENOTDIR) {
        errno = code;
        return -1;
    }
    for (size_t slash = relPath.find('/'); slash != std::string::npos; slash = relPath.find('/', slash + 1)) {
        const std::string dir = root_ + "/" + relPath.substr(0, slash);
        if (::mkdir(dir.c_str(), 0755) == 0) {
            StoreError ignored;
            if (!syncDirOf(dir, ignored)) return -1;
        } else if (errno != EEXIST) {
            return -1;
        }
    }
    return ::open(full.c_str(), flags, 0644);
}

std::unique_ptr<FileWriter> LogStore::openFile(const std::string& relPath, bool append, uint64_t seq,
                                               StoreError& err) {
    int code = 0;
    return openFile(relPath, append, seq, err, code);
}

std::unique_ptr<FileWriter> LogStore::placeAndOpen(const std::string& relPath, bool append, uint64_t seq,
                                                   std::string& placed, StoreError& err) {
    int code = 0;
    if (!placeFile(relPath, placed, err)) return nullptr;
    auto w = openFile(placed, append, seq, err, code);
    if (w || code != ENOTDIR) return w;
    if (!placeFile(relPath, placed, err)) return nullptr;
    return openFile(placed, append, seq, err, code);
}

std::unique_ptr<FileWriter> LogStore::openFile(const std::string& relPath, bool append, uint64_t seq,
                                               StoreError& err, int& code) {
    std::unique_ptr<FileWriter> w;
    if (append) {
        std::unique_lock<std::mutex> fileLock(lockFor(relPath));
        const std::string full = root_ + "/" + relPath;
        struct stat st {};
        const bool existed = ::stat(full.c_str(), &st) == 0;
        const long long oldSize = existed ? static_cast<long long>(st.st_size) : 0;
        // Recorded first, so that a crash in the middle of the append is undone.
        if (!journal_.intendAppend(seq, relPath, static_cast<uint64_t>(oldSize), err)) return nullptr;
        w.reset(new FileWriter(*this, relPath, true, seq));
        w->lock_ = std::move(fileLock);
        w->oldSize_ = oldSize;
        w->existed_ = existed;
        // A new file's folder entry is made durable by the round, not by copies.
        w->copying_ = options_.sync && existed;
        if (!w->copying_) journal_.needsFileFlush(seq);
        w->reusable_ = true;
        // The file this path names now: a rotated or removed one is not reused.
        w->fd_ = existed ? appendFiles_.take(relPath, st) : -1;
        w->reused_ = w->fd_ >= 0;
        w->stat_ = st;
        if (w->fd_ < 0) w->fd_ = openPlaced(relPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC);
    } else {
        if (!journal_.intendCreate(seq, relPath, err)) return nullptr;
        w.reset(new FileWriter(*this, relPath, false, seq));
        w->existed_ = false;
        w->fd_ = openPlaced(relPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
    }
    if (w->fd_ < 0) {
        code = errno;
        err = errorFromErrno(code, relPath);
        return nullptr;
    }
    return w;
}

bool LogStore::writeFile(const std::string& relPath, const char* data, size_t size, uint64_t seq, StoreError& err,
                         bool standalone) {
    if (standalone && !journal_.intendCreate(seq, relPath, err)) return false;
    journal_.needsFileFlush(seq);
    const std::string full = root_ + "/" + relPath;
    const int fd = openPlaced(relPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
    const bool ok = fd >= 0 && writeAll(fd, data, size);
    if (!ok) err = errorFromErrno(errno, relPath);
    if (fd >= 0) ::close(fd);
    if (!ok) {
        ::unlink(full.c_str());
        return false;
    }
    if (options_.sync) {
        toFlush_.noteCreated(full);
        noteDirOf(full);
    }
    usedBytes_ += size;
    return true;
}

bool LogStore::intendCreate(uint64_t seq, const std::string& relPath, StoreError& err) {
    return journal_.intendCreate(seq, relPath, err);
}

bool LogStore::appendMeta(uint64_t seq, const std::string& day, const std::string& json, std::string& ref,
                          StoreError& err) {
    uint64_t offset = 0;
    auto intent = [&](const std::string& rel, uint64_t size, StoreError& e) {
        bool copied = false;
        return journal_.intendCopiedAppend(seq, rel, size, json.data(), json.size(), copied, e);
    };
    if (!meta_.append(day, json, intent, offset, err)) return false;
    usedBytes_ += json.size();
    ref = StoreLayout::metaDay(day) + ":" + std::to_string(offset) + ":" + std::to_string(json.size());
    return true;
}

bool LogStore::appendIndex(uint64_t seq, const std::string& day, const std::string& line, StoreError& err) {
    uint64_t offset = 0;
    auto intent = [&](const std::string& rel, uint64_t size, StoreError& e) {
        bool copied = false;
        return journal_.intendCopiedAppend(seq, rel, size, line.data(), line.size(), copied, e);
    };
    if (!index_.append(day, line, intent, offset, err)) return false;
    usedBytes_ += line.size();
    return true;
}

bool LogStore::checkQuota(StoreError& err) {
    const uint64_t quota = options_.quotaBytes;
    if (quota == 0 || usedBytes_ < quota) return true;
    std::lock_guard<std::mutex> lock(quotaMutex_);
    const std::string today = utcTimestamp().substr(0, 10);
    while (usedBytes_ >= quota) {
        std::string oldest;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(root_ + "/" + StoreLayout::kIndexDir, ec)) {
            const std::string day = StoreLayout::dayOfIndexFile(e.path().filename().string());
            if (!day.empty() && day < today && (oldest.empty() || day < oldest)) oldest = day;
        }
        if (oldest.empty()) {
            err = {"store over its quota of " + std::to_string(quota >> 20) + " MiB"};
            return false;
        }
        std::vector<std::string> log;
        RetentionSweep(root_, {}).dropDaysUpTo(oldest, today, log);
        usedBytes_ = bytesUnder(root_);
    }
    return true;
}

void LogStore::commitAsync(uint64_t seq, GroupSync::Done done) {
    StoreError err;
    if (!options_.sync) {
        const bool ok = journal_.commit(seq, err);
        done(ok, err);
        return;
    }
    if (!noteForRound(seq, err)) return done(false, err);
    groupSync_.syncAsync(std::move(done));
}

bool LogStore::commit(uint64_t seq, StoreError& err) {
    if (!options_.sync) return journal_.commit(seq, err);
    return noteForRound(seq, err) && groupSync_.sync(err);
}

bool LogStore::noteForRound(uint64_t seq, StoreError& err) {
    // Every byte of it is in the journal: the round's journal flush takes its
    // commit record along and makes it durable.
    if (journal_.allCopied(seq)) return journal_.commit(seq, err);
    // The round writes the commit record once the index line is on disk.
    toFlush_.noteCommit(seq);
    return true;
}

void LogStore::abandon(uint64_t seq) { journal_.abandon(seq); }

namespace {

// Flushes a file or folder named by path; one removed meanwhile (a command
// that failed and undid its files) needs no flush.
bool syncPathIfThere(const std::string& path, bool folder, StoreError& err) {
    if (fileOps::syncIfThere(path, folder)) return true;
    err = errorFromErrno(errno, path);
    return false;
}

}  // namespace

GroupSync::Round LogStore::gatherRound() {
    roundBatch_ = toFlush_.take();
    GroupSync::Round round;
    for (const auto& file : roundBatch_.appended) {
        const int fd = file.second;
        round.steps.push_back([fd](StoreError& err) {
            if (::fdatasync(fd) == 0) return true;
            err = errorFromErrno(errno, "store");
            return false;
        });
    }
    for (const std::string& path : roundBatch_.created)
        round.steps.push_back([&path](StoreError& err) { return syncPathIfThere(path, false, err); });
    for (const std::string& path : roundBatch_.folders)
        round.steps.push_back([&path](StoreError& err) { return syncPathIfThere(path, true, err); });
    if (!roundBatch_.commits.empty()) round.steps.push_back([this](StoreError& err) { return meta_.flush(err); });
    // The journal's intents and copies, and the commit records written so far.
    round.steps.push_back([this](StoreError& err) { return journal_.flush(err); });
    round.last = [this](bool stepsOk, StoreError& err) { return finishRound(stepsOk, err); };
    return round;
}

bool LogStore::finishRound(bool stepsOk, StoreError& err) {
    // A command whose index line is on disk counts as stored when the
    // journal is replayed, so the index flush is what makes the round's
    // commands with files to flush durable. Their commit records only let the
    // journal be trimmed: they are written now and flushed with the next
    // round, not waited for.
    bool ok = stepsOk && (roundBatch_.commits.empty() || index_.flush(err));
    for (uint64_t seq : roundBatch_.commits) {
        if (!ok) break;
        ok = journal_.commit(seq, err);
    }
    // A segment closed by this round's commands may be ready to go.
    if (journal_.checkpointWaiting()) checkpointer_.ask();
    // Commands noted after this round began wait for the next one, whose
    // batch must then still hold what this one could not make durable.
    if (!ok) toFlush_.putBack(std::move(roundBatch_));
    roundBatch_ = FlushSet::Batch();
    return ok;
}

void LogStore::removeTree(const std::string& relPath) {
    std::error_code ec;
    std::filesystem::remove_all(root_ + "/" + relPath, ec);
    forgetDirs();
}

bool LogStore::reserveRejected(uint64_t bytes) {
    uint64_t now = rejectedBytes_.load();
    do {
        if (now + bytes > options_.maxRejectedBytes) return false;
    } while (!rejectedBytes_.compare_exchange_weak(now, now + bytes));
    return true;
}

}  // namespace logserver
