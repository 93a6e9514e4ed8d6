#include "NQFileLog.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string_view>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "NQCommon.h"
#include "NQThread.h"
#include "NQTime.h"
#include "detail/largeBuffer.h"
#include "detail/nqPath.h"

namespace NQBase {

namespace {

constexpr size_t kMaxModuleBytes = 64;
// "YYYY-MM-DD HH:MM:SS.mmm " comes before the level word.
constexpr size_t kLevelColumn = 24;

const char* const kLevelNames[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
constexpr int kLevelCount = static_cast<int>(sizeof(kLevelNames) / sizeof(kLevelNames[0]));

int clampLevel(int level) { return std::min(std::max(level, 0), kLevelCount - 1); }

std::string vformat(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (needed <= 0) return {};
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), fmt, args);
    text.resize(static_cast<size_t>(needed));
    return text;
}

// One record stays one line, and no line grows without bound.
std::string oneLine(const std::string& text, size_t maxBytes) {
    std::string line = text.substr(0, maxBytes);
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::replace(line.begin(), line.end(), '\r', ' ');
    return line;
}

int64_t fileSizeOf(const std::string& path) {
    return nqpath::statPath(path).size;
}

bool parseOffsets(const std::string& text, int64_t& error, int64_t& detail) {
    long long e = -1;
    long long d = -1;
    if (std::sscanf(text.c_str(), "%lld %lld", &e, &d) != 2 || e < 0 || d < 0) return false;
    error = e;
    detail = d;
    return true;
}

// Reads of the log file: a window of it at a time, mapped where the platform
// allows (so the hand-out copies each byte once, straight into the caller's
// string), else read into one buffer that the window reuses.
class LogFileWindow {
public:
    static constexpr size_t kWindow = size_t(1) << 20;

    // Reads stay below limit, the log file's size as the caller measured it.
    LogFileWindow(const std::string& path, int64_t limit) {
#if defined(_WIN32)
        in_.open(nqpath::fsPath(path), std::ios::binary);
        limit_ = in_ ? limit : 0;
#else
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st{};
        // Never map past the end: touching such a page would kill the process.
        limit_ = fd_ >= 0 && ::fstat(fd_, &st) == 0 ? std::min<int64_t>(limit, st.st_size) : 0;
#endif
    }
    ~LogFileWindow() {
#if !defined(_WIN32)
        unmap();
        if (fd_ >= 0) ::close(fd_);
#endif
    }
    LogFileWindow(const LogFileWindow&) = delete;
    LogFileWindow& operator=(const LogFileWindow&) = delete;

    int64_t limit() const { return limit_; }
    // Reads [begin, begin + length) of the file straight into out; the bytes
    // read (fewer when the file ended or failed).
    size_t readInto(int64_t begin, size_t length, char* out) {
        if (begin < 0 || begin >= limit_) return 0;
        length = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(length), limit_ - begin));
#if defined(_WIN32)
        in_.clear();
        in_.seekg(begin);
        in_.read(out, static_cast<std::streamsize>(length));
        return static_cast<size_t>(std::max<std::streamsize>(in_.gcount(), 0));
#else
        size_t total = 0;
        while (total < length) {
            const ssize_t got = ::pread(fd_, out + total, length - total, static_cast<off_t>(begin) + static_cast<off_t>(total));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            total += static_cast<size_t>(got);
        }
        return total;
#endif
    }
    // [begin, begin + length) of the file, valid until the next call; null when
    // that range is not in the file.
    const char* at(int64_t begin, size_t length) {
        if (begin < 0 || begin + static_cast<int64_t>(length) > limit_) return nullptr;
        if (data_ != nullptr && begin >= from_ && begin + static_cast<int64_t>(length) <= from_ + static_cast<int64_t>(size_))
            return data_ + (begin - from_);
#if defined(_WIN32)
        from_ = begin;
        size_ = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(std::max(length, kWindow)), limit_ - begin));
        if (bufferSize_ < size_) {
            buffer_.reset(new char[size_]);  // not zero-filled
            bufferSize_ = size_;
        }
        in_.clear();
        in_.seekg(begin);
        in_.read(buffer_.get(), static_cast<std::streamsize>(size_));
        if (static_cast<size_t>(in_.gcount()) < length) return data_ = nullptr, nullptr;
        size_ = static_cast<size_t>(in_.gcount());
        data_ = buffer_.get();
#else
        unmap();
        static const int64_t page = ::sysconf(_SC_PAGESIZE);
        from_ = begin - begin % page;
        size_ = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(std::max(length + static_cast<size_t>(begin - from_), kWindow)), limit_ - from_));
        // Every page of a window is read once, straight away: mapping them all
        // in the call spares a page fault per few pages (costly in a VM).
        int flags = MAP_SHARED;
#if defined(MAP_POPULATE)
        flags |= MAP_POPULATE;
#endif
        void* mapped = ::mmap(nullptr, size_, PROT_READ, flags, fd_, from_);
        if (mapped == MAP_FAILED) return nullptr;
        data_ = static_cast<char*>(mapped);
#endif
        return data_ + (begin - from_);
    }

private:
#if defined(_WIN32)
    std::ifstream in_;
    std::unique_ptr<char[]> buffer_;
    size_t bufferSize_ = 0;
#else
    void unmap() {
        if (data_ != nullptr) ::munmap(data_, size_);
        data_ = nullptr;
    }
    int fd_ = -1;
#endif
    int64_t limit_ = 0;
    char* data_ = nullptr;
    int64_t from_ = 0;
    size_t size_ = 0;
};

constexpr int64_t kIndexRecordBytes = 16;

// The state file's one line: both offsets at a fixed width ("%019" covers any
// 64-bit offset), so that each save overwrites the last in place. Replacing
// the file instead (a new file renamed over it) cost a new inode per save; on
// a file system with many recently deleted inodes, a profile of the road put
// that allocation alone at about 2 % of the client's CPU. A save is one write
// of 40 bytes at the start of the file: a kill cannot tear it, and it sits in
// one disk sector.
constexpr size_t kStateLineBytes = 19 + 1 + 19 + 1;

void encodeRecord(int64_t begin, int64_t length, unsigned char out[kIndexRecordBytes]) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<unsigned char>(static_cast<uint64_t>(begin) >> (8 * i));
        out[8 + i] = static_cast<unsigned char>(static_cast<uint64_t>(length) >> (8 * i));
    }
}

int64_t decodeWord(const unsigned char* in) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | in[i];
    return static_cast<int64_t>(v);
}

}  // namespace

const char* logLevelName(int level) { return kLevelNames[clampLevel(level)]; }

std::string formatLogLine(int64_t timeMs, int level, const char* module, const std::string& text) {
    std::tm local{};
    nq_localtime64(timeMs / 1000, &local);
    char stamp[80];
    std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>((timeMs % 1000 + 1000) % 1000));
    std::string line;
    line.reserve(text.size() + 100);
    line += stamp;
    line += ' ';
    line += logLevelName(level);
    line += " [";
    line += oneLine(module != nullptr ? module : "", kMaxModuleBytes);
    line += "] ";
    line += oneLine(text, NQFileLog::kMaxMessageBytes);
    line += '\n';
    return line;
}

int parseLogLineLevel(const char* line, size_t length) {
    if (length <= kLevelColumn || line[4] != '-' || line[10] != ' ' || line[19] != '.' ||
        line[kLevelColumn - 1] != ' ')
        return -1;
    const char* word = line + kLevelColumn;
    const size_t rest = length - kLevelColumn;
    for (int level = 0; level < kLevelCount; ++level) {
        const size_t n = std::strlen(kLevelNames[level]);
        if (rest > n && std::memcmp(word, kLevelNames[level], n) == 0 && word[n] == ' ') return level;
    }
    return -1;
}

NQFileLog::NQFileLog(const std::string& logFilePath, int64_t maxHandOutBytes)
    : path_(logFilePath),
      statePath_(logFilePath + ".state"),
      indexPath_(logFilePath + ".errindex"),
      maxHandOut_(std::max<int64_t>(maxHandOutBytes, 1)) {
    file_ = nqpath::openFile(path_, "ab");
    if (file_ == nullptr) {
        NQSDKCommonLog(3, "NQFileLog", "cannot open log file %s", path_.c_str());
        return;
    }
    logEnd_ = fileSizeOf(path_);
    terminateTornLine();
    loadState();
    std::lock_guard<std::mutex> lock(writeMutex_);
    openIndex();
    errorIndexNext_ = firstRecordFrom(handedOut_.error);
}

NQFileLog::~NQFileLog() {
    if (!abandoned_) {
        std::lock_guard<std::mutex> lock(readMutex_);
        if (saveState(handedOut_)) committed_ = handedOut_;
    }
    if (file_ != nullptr) std::fclose(file_);
    if (index_ != nullptr) std::fclose(index_);
}

// A process killed in the middle of a line leaves it without its line feed;
// ending it here keeps the next line from being glued to it.
void NQFileLog::terminateTornLine() {
    const int64_t size = fileSizeOf(path_);
    if (size == 0) return;
    std::ifstream in(nqpath::fsPath(path_), std::ios::binary);
    in.seekg(size - 1);
    char last = '\n';
    if (in.get(last) && last != '\n') writeLine("\n", false);
}

// writeMutex_ held. Makes the index agree with the log file: records cut by a
// kill dropped, the last line indexed if the kill came between the line and its
// record, the whole index rebuilt when it is missing or does not fit the file.
void NQFileLog::openIndex() {
    const bool existed = nqpath::statPath(indexPath_).exists;
    int64_t size = existed ? fileSizeOf(indexPath_) : 0;
    std::error_code ec;
    if (size % kIndexRecordBytes != 0) {
        size -= size % kIndexRecordBytes;
        std::filesystem::resize_file(nqpath::fsPath(indexPath_), static_cast<uintmax_t>(size), ec);
    }
    indexCount_ = size / kIndexRecordBytes;
    int64_t indexedEnd = 0;
    if (indexCount_ > 0) {
        std::ifstream in(nqpath::fsPath(indexPath_), std::ios::binary);
        unsigned char raw[kIndexRecordBytes] = {};
        in.seekg((indexCount_ - 1) * kIndexRecordBytes);
        in.read(reinterpret_cast<char*>(raw), kIndexRecordBytes);
        indexedEnd = decodeWord(raw) + decodeWord(raw + 8);
    }
    index_ = nqpath::openFile(indexPath_, "ab");
    if (index_ == nullptr) {
        NQSDKCommonLog(3, "NQFileLog", "cannot open error index %s", indexPath_.c_str());
        return;
    }
    if (!existed || ec || indexedEnd > logEnd_) {
        rebuildIndex(std::min(committed_.error, logEnd_), logEnd_);  // lines before the offset are handed out
        return;
    }
    // Only the last line can have missed its record: its record is written
    // right after it, under the same lock.
    const int64_t tail = std::min<int64_t>(logEnd_, static_cast<int64_t>(kMaxMessageBytes) + 1024);
    LogFileWindow window(path_, logEnd_);
    const char* text = window.at(logEnd_ - tail, static_cast<size_t>(tail));
    if (text == nullptr || tail == 0) return;
    const std::string_view view(text, static_cast<size_t>(tail) - 1);  // without the final line feed
    const size_t feed = view.rfind('\n');
    const int64_t lastBegin = logEnd_ - tail + (feed == std::string_view::npos ? 0 : static_cast<int64_t>(feed) + 1);
    if ((feed != std::string_view::npos || tail == logEnd_) && lastBegin >= indexedEnd &&
        parseLogLineLevel(text + (lastBegin - (logEnd_ - tail)), static_cast<size_t>(logEnd_ - lastBegin)) >= NQLOG_ERROR)
        appendIndexRecord(lastBegin, logEnd_ - lastBegin);
}

// writeMutex_ held. Indexes every error line from `from` to the end.
void NQFileLog::rebuildIndex(int64_t from, int64_t fileSize) {
    if (index_ != nullptr) std::fclose(index_);
    index_ = nqpath::openFile(indexPath_, "wb");
    indexCount_ = 0;
    if (index_ == nullptr) {
        NQSDKCommonLog(3, "NQFileLog", "cannot open error index %s", indexPath_.c_str());
        return;
    }
    LogFileWindow window(path_, fileSize);
    int64_t begin = from;
    while (begin < window.limit()) {
        const size_t span = static_cast<size_t>(std::min<int64_t>(window.limit() - begin, LogFileWindow::kWindow));
        const char* text = window.at(begin, span);
        if (text == nullptr) break;
        const auto* feed = static_cast<const char*>(std::memchr(text, '\n', span));
        if (feed == nullptr) {
            if (span < LogFileWindow::kWindow) break;  // the unfinished last line
            begin += static_cast<int64_t>(span);       // a line longer than a window is no log line
            continue;
        }
        const int64_t length = feed - text + 1;
        if (parseLogLineLevel(text, static_cast<size_t>(length)) >= NQLOG_ERROR) appendIndexRecord(begin, length);
        begin += length;
    }
}

void NQFileLog::appendIndexRecord(int64_t begin, int64_t length) {
    if (index_ == nullptr) return;
    unsigned char raw[kIndexRecordBytes];
    encodeRecord(begin, length, raw);
    if (std::fwrite(raw, 1, sizeof(raw), index_) == sizeof(raw)) ++indexCount_;
    std::fflush(index_);
}

// The number of the first index record at or after offset (records lie in
// file order).
int64_t NQFileLog::firstRecordFrom(int64_t offset) const {
    std::ifstream in(nqpath::fsPath(indexPath_), std::ios::binary);
    int64_t lo = 0;
    int64_t hi = indexCount_;
    while (lo < hi) {
        const int64_t mid = lo + (hi - lo) / 2;
        unsigned char raw[8] = {};
        in.seekg(mid * kIndexRecordBytes);
        in.read(reinterpret_cast<char*>(raw), sizeof(raw));
        if (decodeWord(raw) < offset) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

void NQFileLog::loadState() {
    std::ifstream in(nqpath::fsPath(statePath_), std::ios::binary);
    if (!in) return;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Offsets loaded;
    if (!parseOffsets(text, loaded.error, loaded.detail)) {
        NQSDKCommonLog(2, "NQFileLog", "state file %s unreadable, reading %s from its start", statePath_.c_str(),
                       path_.c_str());
        return;
    }
    committed_ = loaded;
    handedOut_ = loaded;
}

bool NQFileLog::saveState(const Offsets& offsets) const {
    char line[kStateLineBytes + 1];
    const int length = std::snprintf(line, sizeof line, "%019" PRId64 " %019" PRId64 "\n", offsets.error, offsets.detail);
    std::FILE* out = nqpath::openFile(statePath_, "r+b");
    if (out == nullptr) out = nqpath::openFile(statePath_, "wb");  // the first save of this log
    bool saved = out != nullptr && length == static_cast<int>(kStateLineBytes);
    if (saved) saved = std::fwrite(line, 1, kStateLineBytes, out) == kStateLineBytes;
    if (out != nullptr) saved = std::fclose(out) == 0 && saved;
    if (!saved) NQSDKCommonLog(3, "NQFileLog", "cannot write state file %s", statePath_.c_str());
    return saved;
}

void NQFileLog::write(int level, const char* module, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = vformat(fmt, args);
    va_end(args);
    write(level, module, text);
}

void NQFileLog::write(int level, const char* module, const std::string& text) {
    writeLine(formatLogLine(GetCurrentSystemTime(), level, module, text), clampLevel(level) >= NQLOG_ERROR);
}

void NQFileLog::writeLine(const std::string& line, bool errorLine) {
    if (file_ == nullptr) return;
    std::lock_guard<std::mutex> lock(writeMutex_);
    const int64_t begin = logEnd_;
    const size_t written = std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
    logEnd_ += static_cast<int64_t>(written);
    // After the line, so a record never names a line that is not there.
    if (errorLine && written == line.size()) appendIndexRecord(begin, static_cast<int64_t>(written));
}

void NQFileLog::GetInitData(LogInitData& data) { data.logFilePath = path_; }

void NQFileLog::restartIfShrunk(int64_t fileSize) {
    const int64_t furthest = std::max({committed_.error, committed_.detail, handedOut_.error, handedOut_.detail});
    if (fileSize >= furthest) return;
    NQSDKCommonLog(2, "NQFileLog", "log file %s shrank to %lld bytes, read offsets restart at 0", path_.c_str(),
                   static_cast<long long>(fileSize));
    committed_ = Offsets{};
    handedOut_ = Offsets{};
    saveState(committed_);
    std::lock_guard<std::mutex> lock(writeMutex_);
    logEnd_ = fileSize;
    rebuildIndex(0, fileSize);
    errorIndexNext_ = 0;
}

// The whole lines from the detail offset, at most maxHandOut_ bytes; a line
// longer than that goes in parts so the reader never stalls on it.
NQFileLog::HandOut NQFileLog::handOutDetail(int64_t fileSize, std::string& out) const {
    const int64_t begin = handedOut_.detail;
    HandOut result{begin, 0};
    LogFileWindow window(path_, fileSize);
    const int64_t end = begin + std::min(window.limit() - begin, maxHandOut_);
    if (end <= begin) {
        out.clear();
        return result;
    }
    int64_t cut = -1;
    for (int64_t hi = end; hi > begin && cut < 0;) {
        const int64_t lo = std::max<int64_t>(begin, hi - static_cast<int64_t>(LogFileWindow::kWindow));
        const char* text = window.at(lo, static_cast<size_t>(hi - lo));
        if (text == nullptr) {
            out.clear();
            return result;
        }
        const size_t feed = std::string_view(text, static_cast<size_t>(hi - lo)).rfind('\n');
        if (feed != std::string_view::npos) cut = lo + static_cast<int64_t>(feed) + 1;
        hi = lo;
    }
    if (cut < 0) {
        if (end - begin < maxHandOut_) {  // a line still being written
            out.clear();
            return result;
        }
        cut = end;
    }
    // Read, not mapped: mapping a window costs page-table changes and a fault
    // per few pages, which on a virtual machine cost more than the copy. The
    // text is read over what the string held: storage the caller keeps (the
    // collector does while a backlog drains, and looks at a hand-out before it
    // takes it) is neither faulted in nor zero-filled again; only growth is. A
    // hand-out cut by the cap means a backlog: reserving the whole cap lets such
    // a caller take every later hand-out into the same storage (they differ by
    // a partial line).
    const size_t length = static_cast<size_t>(cut - begin);
    if (out.capacity() < length) {
        out.reserve(end - begin == maxHandOut_ ? static_cast<size_t>(maxHandOut_) : length);
        detail::adviseLargeBuffer(out.data(), out.capacity());
    }
    out.resize(length);
    out.resize(window.readInto(begin, length, &out[0]));
    result.end = begin + static_cast<int64_t>(out.size());
    return result;
}

// The indexed error lines after the error offset, at most maxHandOut_ bytes
// (but always the first line).
NQFileLog::HandOut NQFileLog::handOutErrors(int64_t fileSize, std::string& out) const {
    int64_t logEnd;
    int64_t indexCount;
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        logEnd = logEnd_;
        indexCount = indexCount_;
    }
    HandOut result{handedOut_.error, errorIndexNext_};
    std::vector<IndexRecord> records;
    int64_t total = 0;
    bool capped = false;
    std::ifstream in(nqpath::fsPath(indexPath_), std::ios::binary);
    in.seekg(errorIndexNext_ * kIndexRecordBytes);
    // Not zero-filled: every call (each lastErrRep, each pass) would clear 64 KiB.
    const std::unique_ptr<unsigned char[]> raw(new unsigned char[static_cast<size_t>(4096 * kIndexRecordBytes)]);
    for (int64_t next = errorIndexNext_; next < indexCount && !capped;) {
        const int64_t batch = std::min<int64_t>(indexCount - next, 4096);
        in.read(reinterpret_cast<char*>(raw.get()), static_cast<std::streamsize>(batch * kIndexRecordBytes));
        if (in.gcount() != batch * kIndexRecordBytes) break;
        for (int64_t i = 0; i < batch; ++i, ++next) {
            const IndexRecord r{decodeWord(&raw[static_cast<size_t>(i * kIndexRecordBytes)]),
                                decodeWord(&raw[static_cast<size_t>(i * kIndexRecordBytes + 8)])};
            if (r.begin + r.length > fileSize) {
                capped = true;  // written after the size was taken: the next call's
                break;
            }
            if (total > 0 && total + r.length > maxHandOut_) {
                capped = true;
                break;
            }
            if (r.begin >= handedOut_.error) {
                records.push_back(r);
                total += r.length;
            }
            result.end = std::max(result.end, r.begin + r.length);
            result.indexEnd = next + 1;
        }
    }
    if (!capped) result.end = std::max(result.end, std::min(logEnd, fileSize));
    LogFileWindow window(path_, fileSize);
    if (out.capacity() < static_cast<size_t>(total)) {
        out.reserve(static_cast<size_t>(total));
        detail::adviseLargeBuffer(out.data(), out.capacity());
    }
    for (const IndexRecord& r : records) {
        const char* line = window.at(r.begin, static_cast<size_t>(r.length));
        // A record that does not name an error line (a file changed behind the
        // logger's back) gives nothing.
        if (line != nullptr && line[r.length - 1] == '\n' &&
            parseLogLineLevel(line, static_cast<size_t>(r.length)) >= NQLOG_ERROR)
            out.append(line, static_cast<size_t>(r.length));
    }
    return result;
}

bool NQFileLog::GetLogFileDat(int type, std::string& out, bool take) {
    if (type != NQLOG_FILE_ERROR && type != NQLOG_FILE_DETAIL) {
        out.clear();
        return false;
    }
    std::lock_guard<std::mutex> lock(readMutex_);
    const int64_t fileSize = fileSizeOf(path_);
    restartIfShrunk(fileSize);
    if (take && committed_.of(type) != handedOut_.of(type)) {
        // The caller has dealt with the previous hand-out by now.
        Offsets next = committed_;
        next.of(type) = handedOut_.of(type);
        if (saveState(next)) committed_ = next;
    }
    if (type == NQLOG_FILE_ERROR) out.clear();  // detail text is read over what out holds
    const HandOut handOut = type == NQLOG_FILE_ERROR ? handOutErrors(fileSize, out) : handOutDetail(fileSize, out);
    if (take) {
        handedOut_.of(type) = handOut.end;
        if (type == NQLOG_FILE_ERROR) errorIndexNext_ = handOut.indexEnd;
        if (!(committed_ == handedOut_)) queueCommit();
    }
    return !out.empty();
}

// readMutex_ held. Inside a host loop's handler the hand-out is committed as
// soon as the handler returns: the caller queues what it takes within it.
void NQFileLog::queueCommit() {
    if (commitQueued_) return;
    std::weak_ptr<char> alive = alive_;
    commitQueued_ = runAfterHandler([this, alive] {
        if (alive.lock()) commitHandOuts();
    });
}

void NQFileLog::commitHandOuts() {
    std::lock_guard<std::mutex> lock(readMutex_);
    commitQueued_ = false;
    if (!(committed_ == handedOut_) && saveState(handedOut_)) committed_ = handedOut_;
}

}  // namespace NQBase
