#include "logStore.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
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

#include "storeIndex.h"

namespace logserver {
namespace {

const char kIndexFile[] = "index.jsonl";
const char kSeqFile[] = "seq.reserved";
const char kPendingDir[] = "pending";
const char kMetaDir[] = "meta";
// Numbers reserved per write of seq.reserved; a crash skips at most these.
constexpr uint64_t kSeqBlock = 64;
// Folders remembered by placeFile; past this the memory starts again empty
// (clients choose detail folder names, so there is no natural bound).
constexpr size_t kMaxKnownDirs = 4096;

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

StoreError errorFromErrno(int code, const std::string& what) {
    std::string text = std::strerror(code);
    if (code == ENOSPC
#ifdef EDQUOT
        || code == EDQUOT
#endif
    ) {
        return {"disk full: " + what + ": " + text};
    }
    return {"store not writable: " + what + ": " + text};
}

std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool writeAll(int fd, const char* p, size_t left) {
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

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

}  // namespace

std::string formatSeq(uint64_t seq) { return std::to_string(seq); }

std::string LogStore::seqName(uint64_t seq) const {
    return options_.node.empty() ? formatSeq(seq) : options_.node + "-" + formatSeq(seq);
}

namespace {
// A file directly in meta/, where the spares are.
bool inMetaDir(const std::string& relPath) {
    const size_t n = sizeof kMetaDir - 1;
    return relPath.size() > n + 1 && relPath.compare(0, n, kMetaDir) == 0 && relPath[n] == '/' &&
           relPath.find('/', n + 1) == std::string::npos;
}

// Moves from to a name that must not exist yet; never replaces a file.
bool renameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
#endif
    // A file system without it: a hard link fails the same way on an existing name.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

bool isNodeByte(unsigned char c) { return std::isalnum(c) || c == '.' || c == '_' || c == '-'; }
}  // namespace

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

FileWriter::FileWriter(LogStore& store, std::string relPath, bool append, std::string pending)
    : store_(store), relPath_(std::move(relPath)), append_(append), pending_(std::move(pending)) {}

FileWriter::~FileWriter() {
    if (!committed_) revert();
    if (fd_ >= 0) {
        // A reverted file is opened afresh by the next command.
        if (committed_ && reusable_) store_.appendFiles_.give(relPath_, fd_, reused_ ? &stat_ : nullptr);
        else ::close(fd_);
    }
    if (!pending_.empty()) store_.dropRecord(pending_, pendingFd_);
}

bool FileWriter::write(const char* data, size_t size, StoreError& err) {
    if (writeAll(fd_, data, size)) return true;
    err = errorFromErrno(errno, relPath_);
    return false;
}

bool FileWriter::flush(StoreError& err) {
    if (store_.options_.sync && ::fsync(fd_) != 0) {
        err = errorFromErrno(errno, relPath_);
        return false;
    }
    return append_ || store_.syncDirOf(store_.root_ + "/" + relPath_, err);
}

void FileWriter::commit() { committed_ = true; }

void FileWriter::revert() {
    if (fd_ < 0) return;
    if (append_ && existed_) {
        if (::ftruncate(fd_, static_cast<off_t>(oldSize_)) == 0 && store_.options_.sync) ::fsync(fd_);
    } else {
        ::unlink((store_.root_ + "/" + relPath_).c_str());
    }
}

// ---- LogStore

LogStore::LogStore(std::string root, StoreOptions options) : root_(std::move(root)), options_(options) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

LogStore::~LogStore() {
    if (metaSpares_) metaSpares_->stop();
}

bool LogStore::open(StoreError& err, std::vector<std::string>& notes) {
    std::error_code ec;
    std::filesystem::create_directories(root_, ec);
    if (ec) {
        err = {"store not writable: " + root_ + ": " + ec.message()};
        return false;
    }
    if (!repairIndex(root_ + "/" + kIndexFile, options_.sync, notes)) {
        err = errorFromErrno(errno, kIndexFile);
        return false;
    }
    if (!undoPending(notes, err)) return false;
    const std::string metaDir = root_ + "/" + kMetaDir;
    SpareFilePool::removeLeftovers(metaDir);
    const uint64_t indexed = scanIndex(root_ + "/" + kIndexFile, {}).lastSeq;
    const uint64_t reserved = readNumberFile(root_ + "/" + kSeqFile);
    lastSeq_ = reservedUpTo_ = indexed > reserved ? indexed : reserved;
    uint64_t rejected = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(root_ + "/rejected", ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) rejected += it->file_size(sizeError);
    }
    rejectedBytes_ = rejected;
    if (options_.metaSpares > 0 && !metaSpares_) {
        SpareFilePool::Options pool;
        pool.high = options_.metaSpares;
        pool.low = options_.metaSpares / 2;
        // Empty files take no blocks, but a store below its floor refuses
        // every command: it gets no new inodes either.
        pool.mayGrow = [this] {
            StoreError ignored;
            return checkFreeSpace(ignored);
        };
        const std::string prefix = options_.node.empty() ? ".spare-" : ".spare-" + options_.node + "-";
        metaSpares_ = std::make_unique<SpareFilePool>(metaDir, prefix, pool);
        metaSpares_->start();
    }
    return true;
}

// Appends a crash interrupted before their index line are cut back to the
// size they started from; those whose line was written are kept.
bool LogStore::undoPending(std::vector<std::string>& notes, StoreError& err) {
    const std::string dir = root_ + "/" + kPendingDir;
    std::vector<std::pair<uint64_t, std::string>> entries;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::strncmp(e->d_name, ".spare-", 7) == 0) ::unlink((dir + "/" + e->d_name).c_str());
            if (e->d_name[0] == '.') continue;
            entries.emplace_back(std::strtoull(e->d_name, nullptr, 10), e->d_name);
        }
        ::closedir(d);
    }
    if (entries.empty()) return true;
    std::set<uint64_t> wanted;
    for (const auto& e : entries) wanted.insert(e.first);
    const IndexScan scan = scanIndex(root_ + "/" + kIndexFile, wanted);
    for (const auto& e : entries) {
        const std::string file = dir + "/" + e.second;
        std::ifstream in(file);
        long long size = -1;
        std::string rel;
        in >> size;
        in.get();
        std::getline(in, rel);
        if (!scan.found.count(e.first) && size >= 0 && !rel.empty()) {
            const std::string target = root_ + "/" + rel;
            struct stat st {};
            if (::stat(target.c_str(), &st) == 0 && st.st_size > size) {
                if (::truncate(target.c_str(), static_cast<off_t>(size)) != 0) {
                    err = errorFromErrno(errno, rel);
                    return false;
                }
                notes.push_back("cut " + rel + " back to " + std::to_string(size) + " bytes: seq " + e.second +
                                " was not confirmed");
            }
        }
        ::unlink(file.c_str());
    }
    return true;
}

bool LogStore::reserveSeq(uint64_t& seq, StoreError& err) {
    std::lock_guard<std::mutex> lock(seqMutex_);
    if (lastSeq_ >= reservedUpTo_) {
        const uint64_t upTo = lastSeq_ + kSeqBlock;
        const std::string tmp = root_ + "/" + kSeqFile + ".tmp";
        const std::string text = std::to_string(upTo) + "\n";
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool ok = fd >= 0 && writeAll(fd, text.data(), text.size()) && (!options_.sync || ::fsync(fd) == 0);
        if (fd >= 0) ::close(fd);
        ok = ok && ::rename(tmp.c_str(), (root_ + "/" + kSeqFile).c_str()) == 0;
        if (!ok) {
            err = errorFromErrno(errno, kSeqFile);
            return false;
        }
        if (options_.sync && !syncDirOf(root_ + "/" + kSeqFile, err)) return false;
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

bool LogStore::syncDirOf(const std::string& fullPath, StoreError& err) {
    if (!options_.sync) return true;
    const std::string dir = parentOf(fullPath);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!ok) err = errorFromErrno(errno, dir.size() > root_.size() ? dir.substr(root_.size() + 1) : "store");
    return ok;
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
            if (!syncDirOf(root_ + "/" + candidate, err)) return false;
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
        // Recorded first, so that a crash in the middle of the append is undone.
        const std::string full = root_ + "/" + relPath;
        struct stat st {};
        const bool existed = ::stat(full.c_str(), &st) == 0;
        const long long oldSize = existed ? static_cast<long long>(st.st_size) : 0;
        const std::string record = std::to_string(oldSize) + " " + relPath + "\n";
        std::string placedPending;
        int pendingFd = -1;
        if (!writeRecord(seq, record, placedPending, pendingFd, err)) return nullptr;
        w.reset(new FileWriter(*this, relPath, true, placedPending));
        w->pendingFd_ = pendingFd;
        w->lock_ = std::move(fileLock);
        w->oldSize_ = oldSize;
        w->existed_ = existed;
        w->reusable_ = true;
        // The file this path names now: a rotated or removed one is not reused.
        w->fd_ = existed ? appendFiles_.take(relPath, st) : -1;
        w->reused_ = w->fd_ >= 0;
        w->stat_ = st;
        if (w->fd_ < 0) w->fd_ = openPlaced(relPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC);
    } else {
        w.reset(new FileWriter(*this, relPath, false, {}));
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

bool LogStore::writeRecord(uint64_t seq, const std::string& record, std::string& placed, int& fd,
                           StoreError& err) {
    SpareRecordFiles::Spare spare;
    if (spareRecords_.take(spare)) {
        // Only the first line is read back: a longer old record's tail is cut
        // all the same, so that the file holds exactly this record.
        placed = parentOf(spare.relPath) + "/" + formatSeq(seq);
        if (::pwrite(spare.fd, record.data(), record.size(), 0) == static_cast<ssize_t>(record.size()) &&
            ::ftruncate(spare.fd, static_cast<off_t>(record.size())) == 0 &&
            (!options_.sync || ::fsync(spare.fd) == 0) &&
            ::rename((root_ + "/" + spare.relPath).c_str(), (root_ + "/" + placed).c_str()) == 0) {
            if (syncDirOf(root_ + "/" + placed, err)) {
                fd = spare.fd;
                return true;
            }
            ::close(spare.fd);
            ::unlink((root_ + "/" + placed).c_str());
            return false;
        }
        // Its file or folder went away (or the disk is full): start afresh.
        ::close(spare.fd);
        spareRecords_.clear();
    }
    if (!placeFile(std::string(kPendingDir) + "/" + formatSeq(seq), placed, err)) return false;
    fd = openPlaced(placed, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
    bool ok = fd >= 0 && writeAll(fd, record.data(), record.size()) && (!options_.sync || ::fsync(fd) == 0);
    if (!ok) err = errorFromErrno(errno, placed);
    ok = ok && syncDirOf(root_ + "/" + placed, err);
    if (!ok && fd >= 0) {
        ::close(fd);
        ::unlink((root_ + "/" + placed).c_str());
    }
    return ok;
}

void LogStore::dropRecord(const std::string& placed, int fd) {
    const std::string full = root_ + "/" + placed;
    if (fd >= 0) {
        const SpareRecordFiles::Spare spare{fd, spareRecords_.newName(parentOf(placed))};
        const std::string spareFull = root_ + "/" + spare.relPath;
        if (::rename(full.c_str(), spareFull.c_str()) == 0) {
            if (spareRecords_.give(spare)) return;
            ::unlink(spareFull.c_str());
            ::close(fd);
            return;
        }
        ::close(fd);
    }
    ::unlink(full.c_str());
}

bool LogStore::writeFile(const std::string& relPath, const char* data, size_t size, StoreError& err) {
    const bool meta = metaSpares_ && inMetaDir(relPath);
    if (meta && writeFromSpare(relPath, data, size)) return true;
    auto w = openFile(relPath, false, 0, err);
    if (!w || !w->write(data, size, err) || !w->flush(err)) return false;
    w->commit();
    // The folder takes new files (again): a refill paused by a failure may go on.
    if (meta) metaSpares_->resume();
    return true;
}

bool LogStore::writeFromSpare(const std::string& relPath, const char* data, size_t size) {
    std::string spare;
    if (!metaSpares_->take(spare)) return false;
    const int fd = ::open(spare.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        // Removed behind the server's back, with its folder most likely.
        metaSpares_->lost();
        return false;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < size;) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    // Spares are made empty; cut all the same, so that the file is exactly data.
    ok = ok && ::ftruncate(fd, static_cast<off_t>(size)) == 0 && (!options_.sync || ::fsync(fd) == 0);
    ::close(fd);
    const std::string target = root_ + "/" + relPath;
    if (ok && !renameNoReplace(spare, target)) {
        if (errno == ENOENT) metaSpares_->lost();
        ok = false;
    }
    if (!ok) {
        ::unlink(spare.c_str());
        return false;
    }
    StoreError ignored;
    if (syncDirOf(target, ignored)) return true;
    ::unlink(target.c_str());
    return false;
}

bool LogStore::appendIndex(const std::string& line, StoreError& err) {
    std::lock_guard<std::mutex> lock(indexMutex_);
    const std::string full = root_ + "/" + kIndexFile;
    struct stat st {};
    int fd = ::stat(full.c_str(), &st) == 0 ? appendFiles_.take(kIndexFile, st) : -1;
    if (fd < 0) {
        fd = openPlaced(kIndexFile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC);
        if (fd < 0) {
            err = errorFromErrno(errno, kIndexFile);
            return false;
        }
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            err = errorFromErrno(errno, kIndexFile);
            return false;
        }
    }
    const off_t oldSize = st.st_size;
    bool ok = writeAll(fd, line.data(), line.size()) && (!options_.sync || ::fsync(fd) == 0);
    if (!ok) {
        err = errorFromErrno(errno, kIndexFile);
        // No torn line is left behind for the next one to be glued onto.
        if (::ftruncate(fd, oldSize) == 0 && options_.sync) ::fsync(fd);
        ::close(fd);
    } else {
        appendFiles_.give(kIndexFile, fd, &st);
    }
    return ok && (oldSize > 0 || syncDirOf(full, err));
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
