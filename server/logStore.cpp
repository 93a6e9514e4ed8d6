#include "logStore.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace logserver {
namespace {

constexpr size_t kMaxNameLength = 128;
const char kIndexFile[] = "index.jsonl";

#if defined(_WIN32)
int openForWrite(const std::string& path, bool append) {
    int flags = _O_WRONLY | _O_CREAT | _O_BINARY | (append ? _O_APPEND : _O_TRUNC);
    return _open(path.c_str(), flags, _S_IREAD | _S_IWRITE);
}
int writeSome(int fd, const char* p, size_t n) { return _write(fd, p, static_cast<unsigned>(n)); }
int syncFile(int fd) { return _commit(fd); }
int closeFile(int fd) { return _close(fd); }
int makeDir(const std::string& path) { return _mkdir(path.c_str()); }
// Windows cannot open a directory to flush it; its metadata is journaled.
bool syncDir(const std::string&) { return true; }
#else
int openForWrite(const std::string& path, bool append) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    return ::open(path.c_str(), flags, 0644);
}
ssize_t writeSome(int fd, const char* p, size_t n) { return ::write(fd, p, n); }
int syncFile(int fd) { return ::fsync(fd); }
int closeFile(int fd) { return ::close(fd); }
int makeDir(const std::string& path) { return ::mkdir(path.c_str(), 0755); }
bool syncDir(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}
#endif

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

bool isSafeByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

// The index lines start with {"seq":N, written by appendIndex; a line cut
// short by a crash simply does not count.
uint64_t lastSeqInIndex(const std::string& indexPath) {
    std::ifstream in(indexPath, std::ios::binary);
    const std::string prefix = "{\"seq\":";
    uint64_t last = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        uint64_t seq = std::strtoull(line.c_str() + prefix.size(), nullptr, 10);
        if (seq > last) last = seq;
    }
    return last;
}

}  // namespace

std::string utcTimestamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t secs = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
#if defined(_WIN32)
    gmtime_s(&tm, &secs);
#else
    gmtime_r(&secs, &tm);
#endif
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis));
    return buf;
}

LogStore::LogStore(std::string root, bool sync, std::string node)
    : root_(std::move(root)), sync_(sync), node_(std::move(node)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

bool LogStore::open(StoreError& err) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (makeDir(root_) != 0 && errno != EEXIST) {
        err = errorFromErrno(errno, root_);
        return false;
    }
    lastSeq_ = lastSeqInIndex(root_ + "/" + kIndexFile);
    return true;
}

uint64_t LogStore::nextSeq() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ++lastSeq_;
}

std::string LogStore::safeName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (unsigned char c : name) out.push_back(isSafeByte(c) ? static_cast<char>(c) : '_');
    if (out.size() > kMaxNameLength) out.resize(kMaxNameLength);
    // A leading dot would hide the file, and "." or ".." would name a folder.
    if (!out.empty() && out[0] == '.') out[0] = '_';
    if (out.empty()) out = "_";
    return out;
}

std::string LogStore::safeRelativePath(const std::string& path) {
    std::string out;
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find('/', begin);
        if (end == std::string::npos) end = path.size();
        if (end > begin) {
            if (!out.empty()) out += '/';
            out += safeName(path.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    return out.empty() ? "_" : out;
}

bool LogStore::validNodeName(const std::string& node) {
    if (node.empty() || node.size() > 64 || node[0] == '.' || node[0] == '-') return false;
    for (unsigned char c : node)
        if (!isSafeByte(c)) return false;
    return true;
}

std::string LogStore::defaultNodeName() {
    char host[256] = {};
#if defined(_WIN32)
    DWORD size = sizeof host;
    if (!GetComputerNameA(host, &size)) host[0] = '\0';
#else
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
#endif
    std::string name = safeName(host);
    if (name.size() > 64) name.resize(64);
    if (name[0] == '-') name[0] = '_';
    return name;
}

bool LogStore::makeParentDirs(const std::string& relPath, StoreError& err) {
    std::string parent = parentOf(relPath);
    if (parent.empty()) return true;
    std::string current = root_;
    size_t begin = 0;
    while (begin <= parent.size()) {
        size_t end = parent.find('/', begin);
        if (end == std::string::npos) end = parent.size();
        std::string dir = current + "/" + parent.substr(begin, end - begin);
        if (makeDir(dir) == 0) {
            // A new folder is only durable once its parent's entry is.
            if (sync_ && !syncDir(current)) {
                err = errorFromErrno(errno, current);
                return false;
            }
        } else if (errno != EEXIST) {
            err = errorFromErrno(errno, dir);
            return false;
        }
        current = dir;
        begin = end + 1;
    }
    return true;
}

bool LogStore::writeBytes(const std::string& relPath, const std::string& bytes, bool append, StoreError& err) {
    if (!makeParentDirs(relPath, err)) return false;
    const std::string full = root_ + "/" + relPath;
    int fd = openForWrite(full, append);
    if (fd < 0) {
        err = errorFromErrno(errno, relPath);
        return false;
    }
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        auto n = writeSome(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = errorFromErrno(n < 0 ? errno : ENOSPC, relPath);
            closeFile(fd);
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (sync_ && syncFile(fd) != 0) {
        err = errorFromErrno(errno, relPath);
        closeFile(fd);
        return false;
    }
    if (closeFile(fd) != 0) {
        err = errorFromErrno(errno, relPath);
        return false;
    }
    std::string dir = parentOf(full);
    if (sync_ && !syncDir(dir)) {
        err = errorFromErrno(errno, dir);
        return false;
    }
    return true;
}

bool LogStore::appendFile(const std::string& relPath, const std::string& bytes, StoreError& err) {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeBytes(relPath, bytes, true, err);
}

bool LogStore::writeFile(const std::string& relPath, const std::string& bytes, StoreError& err) {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeBytes(relPath, bytes, false, err);
}

bool LogStore::appendIndex(const IndexEntry& entry, StoreError& err) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    auto str = [&w](const std::string& s) { w.String(s.data(), static_cast<rapidjson::SizeType>(s.size())); };
    w.StartObject();
    w.Key("seq");
    w.Uint64(entry.seq);
    w.Key("node");
    str(node_);
    w.Key("time");
    str(utcTimestamp());
    w.Key("peer");
    str(entry.peer);
    w.Key("cmdId");
    w.Int(entry.cmdId);
    w.Key("cmdType");
    str(entry.cmdType);
    w.Key("json");
    str(entry.json);
    w.Key("compressedSize");
    w.Uint64(entry.compressedSize);
    w.Key("inflatedSize");
    w.Uint64(entry.inflatedSize);
    w.Key("path");
    str(entry.path);
    if (!entry.rejected.empty()) {
        w.Key("rejected");
        str(entry.rejected);
    }
    w.EndObject();
    std::string line(buf.GetString(), buf.GetSize());
    line += '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    return writeBytes(kIndexFile, line, true, err);
}

}  // namespace logserver
