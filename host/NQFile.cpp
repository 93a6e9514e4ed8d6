#include "NQFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <streambuf>
#include <vector>

#if defined(_WIN32)
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <sys/uio.h>
#  include <unistd.h>
#endif

#include "detail/nqPath.h"

namespace NQBase {

namespace {

// The library's open-mode bits (see NQFile.h); not the std::ios values.
constexpr int kModeRead = 1;
constexpr int kModeWrite = 2;
constexpr int kModeAtEnd = 4;
constexpr int kModeTruncate = 16;

constexpr int kModeReadExisting = kOpenReadExisting;
constexpr int kModeUpdateExisting = kOpenUpdateExisting;
constexpr int kModeEmpty = kOpenEmpty;
constexpr int kModeRecreate = kOpenRecreate;
static_assert(kModeReadExisting == kModeRead && kModeUpdateExisting == (kModeRead | kModeWrite | kModeAtEnd) &&
                  kModeEmpty == (kModeRead | kModeWrite | kModeTruncate) &&
                  kModeRecreate == (kModeRead | kModeWrite | kModeAtEnd | kModeTruncate),
              "each named mode is the bit set its name says");

bool knownMode(int mode) {
    return mode == kModeReadExisting || mode == kModeUpdateExisting || mode == kModeEmpty || mode == kModeRecreate;
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

size_t lastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

}  // namespace

// The stream buffer behind NQFile: one logical position kept here, positioned
// reads and writes on the file, and one area that holds either file bytes
// being read (which stay cached until the next write, so seeking away and back
// costs nothing) or writes not yet pushed (gathered into the next large write).
class NQFile::Buffer final : public std::streambuf {
public:
    Buffer() : area_(kAreaSize) {}
    ~Buffer() override { close(); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    bool open(const std::string& path, int mode) {
        close();
#if defined(_WIN32)
        DWORD access = GENERIC_READ | GENERIC_WRITE;
        if (mode == kModeReadExisting) access = GENERIC_READ;
        if (mode == kModeEmpty) access = GENERIC_WRITE;
        const DWORD disposition = (mode & kModeTruncate) ? CREATE_ALWAYS : OPEN_EXISTING;
        // Shared like a C runtime stream, so readers and renames of other files are not blocked.
        handle_ = CreateFileW(nqpath::toWide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) return false;
#else
        int flags = O_RDWR;
        if (mode == kModeReadExisting) flags = O_RDONLY;
        if (mode == kModeEmpty) flags = O_WRONLY;
        if (mode & kModeTruncate) flags |= O_CREAT | O_TRUNC;
        do {
            fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) return false;
#endif
        if ((mode & kModeAtEnd) && !(mode & kModeTruncate)) pos_ = std::max<int64_t>(measureSize(), 0);
        return true;
    }

    void close() {
        flushWrites();
#if defined(_WIN32)
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
#else
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
#endif
        setg(nullptr, nullptr, nullptr);
        mode_ = Mode::Idle;
        pos_ = 0;
        cached_ = 0;
        writeFailed_ = false;
    }

    bool isOpen() const {
#if defined(_WIN32)
        return handle_ != INVALID_HANDLE_VALUE;
#else
        return fd_ >= 0;
#endif
    }

    int64_t size() {
        flushWrites();
        return std::max<int64_t>(measureSize(), 0);
    }

    // True when every write since the previous call reached the file.
    bool flush() {
        const bool pushed = flushWrites();
        const bool failed = writeFailed_;
        writeFailed_ = false;
        return pushed && !failed;
    }

protected:
    int_type overflow(int_type c) override {
        if (mode_ == Mode::Writing && pptr() == epptr() && !flushWrites()) return traits_type::eof();
        enterWriting();
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
        return c;
    }

    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (n <= 0) return 0;
        enterWriting();
        if (n <= epptr() - pptr()) {
            std::memcpy(pptr(), s, static_cast<size_t>(n));
            pbump(static_cast<int>(n));
            return n;
        }
        // Pending bytes and the new ones in one write, at the pending bytes' place.
        const int64_t pending = pptr() - pbase();
        const int64_t written = writeAt(areaStart_, pbase(), static_cast<size_t>(pending), s, static_cast<size_t>(n));
        leaveWriting(written);
        if (written < pending + n) writeFailed_ = true;
        return static_cast<std::streamsize>(std::max<int64_t>(written - pending, 0));
    }

    int_type underflow() override {
        if (mode_ == Mode::Reading && gptr() < egptr()) return traits_type::to_int_type(*gptr());
        flushWrites();
        const int64_t at = position();
        leaveReading();
        if (!useCache(at)) {
            const int64_t got = readAt(at, area_.data(), area_.size());
            if (got <= 0) return traits_type::eof();
            areaStart_ = at;
            cached_ = got;
            useCache(at);
        }
        return traits_type::to_int_type(*gptr());
    }

    std::streamsize xsgetn(char* s, std::streamsize n) override {
        std::streamsize total = 0;
        while (total < n) {
            if (mode_ == Mode::Reading && gptr() < egptr()) {
                const std::streamsize chunk = std::min<std::streamsize>(n - total, egptr() - gptr());
                std::memcpy(s + total, gptr(), static_cast<size_t>(chunk));
                gbump(static_cast<int>(chunk));
                total += chunk;
                continue;
            }
            const std::streamsize rest = n - total;
            if (rest >= static_cast<std::streamsize>(area_.size())) {
                // Large reads go straight to the caller's memory.
                flushWrites();
                const int64_t at = position();
                leaveReading();
                const int64_t got = readAt(at, s + total, static_cast<size_t>(rest));
                pos_ = at + got;
                total += static_cast<std::streamsize>(got);
                break;
            }
            if (traits_type::eq_int_type(underflow(), traits_type::eof())) break;
        }
        return total;
    }

    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode /*which: one position*/) override {
        if (!isOpen()) return pos_type(off_type(-1));
        flushWrites();  // a write that fell short has already moved the position only as far as it got
        int64_t base = 0;
        if (dir == std::ios::cur) base = position();
        else if (dir == std::ios::end) base = measureSize();
        if (base < 0) return pos_type(off_type(-1));
        const int64_t target = base + static_cast<int64_t>(off);
        if (target < 0) return pos_type(off_type(-1));
        leaveReading();
        pos_ = target;
        useCache(target);
        return pos_type(off_type(target));
    }

    pos_type seekpos(pos_type pos, std::ios::openmode which) override {
        return seekoff(off_type(pos), std::ios::beg, which);
    }

    int sync() override { return flushWrites() ? 0 : -1; }

private:
    static constexpr size_t kAreaSize = 16 * 1024;
    enum class Mode { Idle, Reading, Writing };

    int64_t position() const {
        switch (mode_) {
        case Mode::Reading: return areaStart_ + (gptr() - eback());
        case Mode::Writing: return areaStart_ + (pptr() - pbase());
        case Mode::Idle: break;
        }
        return pos_;
    }

    // Makes the cached bytes the get area when they hold offset at.
    bool useCache(int64_t at) {
        if (mode_ != Mode::Idle || cached_ <= 0 || at < areaStart_ || at >= areaStart_ + cached_) return false;
        char* begin = area_.data();
        setg(begin, begin + (at - areaStart_), begin + cached_);
        mode_ = Mode::Reading;
        return true;
    }

    void leaveReading() {
        if (mode_ != Mode::Reading) return;
        pos_ = position();
        setg(nullptr, nullptr, nullptr);
        mode_ = Mode::Idle;
    }

    void enterWriting() {
        if (mode_ == Mode::Writing) return;
        leaveReading();
        cached_ = 0;  // the area now holds writes; a later read fetches again
        areaStart_ = pos_;
        setp(area_.data(), area_.data() + area_.size());
        mode_ = Mode::Writing;
    }

    // The position moves by what the file took, not by what was asked.
    void leaveWriting(int64_t written) {
        pos_ = areaStart_ + written;
        setp(nullptr, nullptr);
        mode_ = Mode::Idle;
    }

    bool flushWrites() {
        if (mode_ != Mode::Writing) return true;
        const int64_t pending = pptr() - pbase();
        const int64_t written = pending > 0 ? writeAt(areaStart_, pbase(), static_cast<size_t>(pending), nullptr, 0) : 0;
        leaveWriting(written);
        if (written < pending) {
            writeFailed_ = true;
            return false;
        }
        return true;
    }

    int64_t measureSize() const {
#if defined(_WIN32)
        LARGE_INTEGER size;
        if (handle_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle_, &size)) return -1;
        return static_cast<int64_t>(size.QuadPart);
#else
        struct stat info;
        if (fd_ < 0 || ::fstat(fd_, &info) != 0) return -1;
        return static_cast<int64_t>(info.st_size);
#endif
    }

    // Writes a then b at offset; returns how many bytes the file took.
    int64_t writeAt(int64_t offset, const char* a, size_t na, const char* b, size_t nb) {
        int64_t total = 0;
        const int64_t wanted = static_cast<int64_t>(na + nb);
#if defined(_WIN32)
        const char* pieces[2] = {a, b};
        const size_t sizes[2] = {na, nb};
        for (int i = 0; i < 2; ++i) {
            size_t done = 0;
            while (done < sizes[i]) {
                const DWORD chunk = static_cast<DWORD>(std::min<size_t>(sizes[i] - done, 1u << 30));
                OVERLAPPED at = {};
                const uint64_t where = static_cast<uint64_t>(offset + total);
                at.Offset = static_cast<DWORD>(where & 0xFFFFFFFFu);
                at.OffsetHigh = static_cast<DWORD>(where >> 32);
                DWORD written = 0;
                if (!WriteFile(handle_, pieces[i] + done, chunk, &written, &at) || written == 0) return total;
                done += written;
                total += written;
            }
        }
#else
        while (total < wanted) {
            struct iovec pieces[2];
            int count = 0;
            const size_t skip = static_cast<size_t>(total);
            if (skip < na) pieces[count++] = {const_cast<char*>(a) + skip, na - skip};
            const size_t skipB = skip > na ? skip - na : 0;
            if (nb > skipB) pieces[count++] = {const_cast<char*>(b) + skipB, nb - skipB};
            const ssize_t written = ::pwritev(fd_, pieces, count, static_cast<off_t>(offset + total));
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) break;
            total += written;
        }
#endif
        return std::min(total, wanted);
    }

    // Reads up to n bytes at offset; 0 at the end or on an error.
    int64_t readAt(int64_t offset, char* out, size_t n) {
        int64_t total = 0;
        while (static_cast<size_t>(total) < n) {
#if defined(_WIN32)
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(n - static_cast<size_t>(total), 1u << 30));
            OVERLAPPED at = {};
            const uint64_t where = static_cast<uint64_t>(offset + total);
            at.Offset = static_cast<DWORD>(where & 0xFFFFFFFFu);
            at.OffsetHigh = static_cast<DWORD>(where >> 32);
            DWORD got = 0;
            if (!ReadFile(handle_, out + total, chunk, &got, &at) || got == 0) break;
#else
            const ssize_t got = ::pread(fd_, out + total, n - static_cast<size_t>(total), static_cast<off_t>(offset + total));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
#endif
            total += static_cast<int64_t>(got);
        }
        return total;
    }

#if defined(_WIN32)
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    int fd_ = -1;
#endif
    std::vector<char> area_;
    Mode mode_ = Mode::Idle;
    int64_t pos_ = 0;         // the position while Idle
    int64_t areaStart_ = 0;   // file offset of area_[0]: cached bytes, or where pending writes go
    int64_t cached_ = 0;      // file bytes held in area_ (0 while it holds writes)
    bool writeFailed_ = false;
};

NQFile::NQFile() : buffer_(std::make_unique<Buffer>()) {
    // The stream reads and writes through the positioned buffer, not its own file buffer.
    static_cast<std::ios&>(stream_).rdbuf(buffer_.get());
}

NQFile::~NQFile() { Close(); }

bool NQFile::Open(const std::string& path, int mode) {
    Close();
    if (path.empty() || !knownMode(mode)) return false;
    // A directory opens for reading on POSIX and then fails every read.
    if (nqpath::statPath(path).directory) return false;
    if (!buffer_->open(path, mode)) return false;
    stream_.clear();
    path_ = path;
    return true;
}

void NQFile::Close() {
    buffer_->close();
    stream_.clear();
    path_.clear();
}

bool NQFile::isOpen() const { return buffer_->isOpen(); }

int64_t NQFile::GetSize() { return isOpen() ? buffer_->size() : 0; }

bool NQFile::Seek(int64_t offset, SEEK_TYPE origin) {
    if (!isOpen()) return false;
    stream_.clear();
    std::ios::seekdir direction;
    switch (origin) {
    case SEEK_TYPE_BEGIN: direction = std::ios::beg; break;
    case SEEK_TYPE_CURRENT: direction = std::ios::cur; break;
    case SEEK_TYPE_END: direction = std::ios::end; break;
    default: return false;
    }
    const std::streampos reached = buffer_->pubseekoff(offset, direction, std::ios::in | std::ios::out);
    if (reached == std::streampos(-1)) {
        stream_.setstate(std::ios::failbit);
        return false;
    }
    return true;
}

int64_t NQFile::GetPos() {
    if (!isOpen()) return -1;
    return static_cast<int64_t>(buffer_->pubseekoff(0, std::ios::cur, std::ios::in | std::ios::out));
}

NQByteArray NQFile::ReadData(int64_t n) {
    NQByteArray result;
    if (!isOpen() || n <= 0) return result;
    // Never allocate more than the file still holds, nor more than a byte array can.
    const int64_t position = GetPos();
    const int64_t remaining = position < 0 ? 0 : GetSize() - position;
    const int64_t wanted = std::min<int64_t>({n, remaining, INT32_MAX});
    if (wanted <= 0) return result;
    result.resize(static_cast<int>(wanted));
    const std::streamsize got = buffer_->sgetn(result.getData(), static_cast<std::streamsize>(wanted));
    result.resize(static_cast<int>(std::max<std::streamsize>(got, 0)));
    return result;
}

bool NQFile::WriteData(const char* data, int64_t n) {
    if (!isOpen() || data == nullptr || n < 0) return false;
    if (n == 0) return true;
    return buffer_->sputn(data, static_cast<std::streamsize>(n)) == n;
}

bool NQFile::FlushBuffers() { return isOpen() && buffer_->flush(); }

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
