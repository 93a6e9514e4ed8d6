#include "NQFile.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "detail/nqPath.h"

namespace NQBase {

namespace {

// The library's open-mode bits (see NQFile.h); not the std::ios values.
constexpr int kModeRead = 1;
constexpr int kModeWrite = 2;
constexpr int kModeAtEnd = 4;
constexpr int kModeTruncate = 16;

constexpr int kModeReadExisting = kModeRead;                                          // 1
constexpr int kModeUpdateExisting = kModeRead | kModeWrite | kModeAtEnd;              // 7
constexpr int kModeEmpty = kModeRead | kModeWrite | kModeTruncate;                    // 19
constexpr int kModeRecreate = kModeRead | kModeWrite | kModeAtEnd | kModeTruncate;    // 23
static_assert(kModeReadExisting == 1 && kModeUpdateExisting == 7 && kModeEmpty == 19 && kModeRecreate == 23,
              "mode values are part of the library's interface");

// Returns false for a mode the library never uses, rather than guessing.
bool toStreamMode(int mode, std::ios::openmode& streamMode) {
    switch (mode) {
    case kModeReadExisting: streamMode = std::ios::in; break;
    // in|out without trunc keeps the content and does not create the file.
    case kModeUpdateExisting: streamMode = std::ios::in | std::ios::out | std::ios::ate; break;
    // Mode 19 carries the read bit, but "empty the file" is all it is used for.
    case kModeEmpty: streamMode = std::ios::out | std::ios::trunc; break;
    case kModeRecreate: streamMode = std::ios::in | std::ios::out | std::ios::trunc; break;
    default: return false;
    }
    streamMode |= std::ios::binary;
    return true;
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

size_t lastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

}  // namespace

NQFile::NQFile() = default;

NQFile::~NQFile() { Close(); }

bool NQFile::Open(const std::string& path, int mode) {
    Close();
    std::ios::openmode streamMode;
    if (path.empty() || !toStreamMode(mode, streamMode)) return false;
    // A directory opens for reading on POSIX and then fails every read.
    if (nqpath::statPath(path).directory) return false;
    stream_.open(nqpath::fsPath(path), streamMode);
    if (!stream_.is_open()) {
        stream_.clear();
        return false;
    }
    path_ = path;
    return true;
}

void NQFile::Close() {
    if (stream_.is_open()) stream_.close();
    stream_.clear();
    path_.clear();
}

bool NQFile::isOpen() const { return stream_.is_open(); }

// Positions are taken from the file buffer itself: the stream's tellg/tellp
// answer -1 once a read has failed, and the buffer has one position for both.
int64_t NQFile::GetSize() {
    if (!stream_.is_open()) return 0;
    std::filebuf* buffer = stream_.rdbuf();
    const std::streampos current = buffer->pubseekoff(0, std::ios::cur, std::ios::in | std::ios::out);
    // Seeking flushes pending writes, so the end includes them.
    const std::streampos end = buffer->pubseekoff(0, std::ios::end, std::ios::in | std::ios::out);
    if (current != std::streampos(-1)) buffer->pubseekpos(current, std::ios::in | std::ios::out);
    return end == std::streampos(-1) ? 0 : static_cast<int64_t>(end);
}

bool NQFile::Seek(int64_t offset, SEEK_TYPE origin) {
    if (!stream_.is_open()) return false;
    stream_.clear();
    std::ios::seekdir direction;
    switch (origin) {
    case SEEK_TYPE_BEGIN: direction = std::ios::beg; break;
    case SEEK_TYPE_CURRENT: direction = std::ios::cur; break;
    case SEEK_TYPE_END: direction = std::ios::end; break;
    default: return false;
    }
    const std::streampos reached =
        stream_.rdbuf()->pubseekoff(offset, direction, std::ios::in | std::ios::out);
    if (reached == std::streampos(-1)) {
        stream_.setstate(std::ios::failbit);
        return false;
    }
    return true;
}

int64_t NQFile::GetPos() {
    if (!stream_.is_open()) return -1;
    return static_cast<int64_t>(stream_.rdbuf()->pubseekoff(0, std::ios::cur, std::ios::in | std::ios::out));
}

NQByteArray NQFile::ReadData(int64_t n) {
    NQByteArray result;
    if (!stream_.is_open() || n <= 0) return result;
    // Never allocate more than the file still holds, nor more than a byte array can.
    const int64_t position = GetPos();
    const int64_t remaining = position < 0 ? 0 : GetSize() - position;
    const int64_t wanted = std::min<int64_t>({n, remaining, INT32_MAX});
    if (wanted <= 0) return result;
    result.resize(static_cast<int>(wanted));
    const std::streamsize got = stream_.rdbuf()->sgetn(result.getData(), static_cast<std::streamsize>(wanted));
    result.resize(static_cast<int>(std::max<std::streamsize>(got, 0)));
    return result;
}

bool NQFile::WriteData(const char* data, int64_t n) {
    if (!stream_.is_open() || data == nullptr || n < 0) return false;
    if (n == 0) return true;
    return stream_.rdbuf()->sputn(data, static_cast<std::streamsize>(n)) == n;
}

bool NQFile::FlushBuffers() {
    if (!stream_.is_open()) return false;
    // Through the buffer: ostream::flush does nothing while the stream is failed.
    return stream_.rdbuf()->pubsync() == 0;
}

bool NQFile::RemoveFile(const std::string& path) { return nqpath::removeFile(path); }

bool NQFile::RenameFile(const std::string& from, const std::string& to) { return nqpath::renameFile(from, to); }

bool NQFile::FileExists(const std::string& path) { return nqpath::statPath(path).exists; }

std::string NQFile::GetFilePath(const std::string& path) {
    const size_t separator = lastSeparator(path);
    if (separator == std::string::npos) return std::string();
    // "/name" lives in the root, which has no text without its separator.
    if (separator == 0) return path.substr(0, 1);
    return path.substr(0, separator);
}

std::string NQFile::getBaseName(const std::string& path) {
    const size_t separator = lastSeparator(path);
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string NQFile::FileNameIllegalCharDeal(const std::string& name) {
    std::string result = name;
    for (char& c : result) {
        const bool control = static_cast<unsigned char>(c) < 0x20;
        if (control || std::string("\\/:*?\"<>|").find(c) != std::string::npos) c = '_';
    }
    return result;
}

void CorrectPathFormat(std::string& dir) {
    std::replace(dir.begin(), dir.end(), '\\', '/');
    if (dir.empty()) {
        dir = "./";
    } else if (!isSeparator(dir.back())) {
        dir += '/';
    }
}

bool EntryInfoList(std::list<SysFileInfo>& out, const std::string& dir, int /*flags: 1 files only*/) {
    out.clear();
    std::vector<nqpath::DirEntry> entries;
    const bool complete = nqpath::listFiles(dir, entries);
    std::string prefix = dir;
    CorrectPathFormat(prefix);
    for (nqpath::DirEntry& entry : entries) {
        SysFileInfo info;
        info.name = std::move(entry.name);
        info.fullPath = prefix + info.name;
        // A dump that its writer still holds is taken at a later scan.
        if (info.name.find(".dmp") != std::string::npos && nqpath::isOpenForWriting(info.fullPath)) continue;
        info.size = entry.size;
        info.timeStamp = entry.modified;
        out.push_back(std::move(info));
    }
    // Directory order differs between systems; callers and tests get one order.
    out.sort([](const SysFileInfo& a, const SysFileInfo& b) { return a.name < b.name; });
    return complete;
}

}  // namespace NQBase
