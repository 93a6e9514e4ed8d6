#include "NQFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#  define NOMINMAX
#  define WIN32_LEAN_AND_MEAN
#  include <windows.h>
#endif

namespace NQBase {

namespace fs = std::filesystem;

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

// Last modification time in seconds since 1970; C++17's file_time_type has no
// portable conversion to the calendar, so ask the C runtime.
bool modificationTime(const std::string& path, int64_t& seconds) {
#if defined(_WIN32)
    struct _stat64 info;
    if (_stat64(path.c_str(), &info) != 0) return false;
#else
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return false;
#endif
    seconds = static_cast<int64_t>(info.st_mtime);
    return true;
}

}  // namespace

NQFile::NQFile() = default;

NQFile::~NQFile() { Close(); }

bool NQFile::Open(const std::string& path, int mode) {
    Close();
    std::ios::openmode streamMode;
    if (path.empty() || !toStreamMode(mode, streamMode)) return false;
    std::error_code ec;
    // A directory opens for reading on POSIX and then fails every read.
    if (fs::is_directory(path, ec)) return false;
    stream_.open(path, streamMode);
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

bool NQFile::RemoveFile(const std::string& path) { return !path.empty() && std::remove(path.c_str()) == 0; }

bool NQFile::RenameFile(const std::string& from, const std::string& to) {
    if (from.empty() || to.empty()) return false;
#if defined(_WIN32)
    // std::rename on Windows refuses an existing target; POSIX rename replaces it.
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

bool NQFile::FileExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::exists(path, ec);
}

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
    try {
        std::error_code ec;
        fs::directory_iterator it(dir.empty() ? std::string(".") : dir, ec);
        if (ec) return false;
        std::string prefix = dir;
        CorrectPathFormat(prefix);
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            if (ec) break;
            std::error_code entryEc;
            if (!it->is_regular_file(entryEc)) continue;
            SysFileInfo info;
            info.name = it->path().filename().string();
            info.fullPath = prefix + info.name;
            const uintmax_t size = it->file_size(entryEc);
            info.size = entryEc ? 0 : static_cast<int64_t>(size);
            // A file removed since it was listed keeps time 0 rather than vanishing.
            modificationTime(info.fullPath, info.timeStamp);
            out.push_back(std::move(info));
        }
        // Directory order differs between systems; callers and tests get one order.
        out.sort([](const SysFileInfo& a, const SysFileInfo& b) { return a.name < b.name; });
        return !ec;
    } catch (...) {
        out.clear();
        return false;
    }
}

}  // namespace NQBase
