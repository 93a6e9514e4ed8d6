#include "NQFileLog.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "NQCommon.h"
#include "NQTime.h"
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
    : path_(logFilePath), statePath_(logFilePath + ".state"), maxHandOut_(std::max<int64_t>(maxHandOutBytes, 1)) {
    file_ = nqpath::openFile(path_, "ab");
    if (file_ == nullptr) {
        NQSDKCommonLog(3, "NQFileLog", "cannot open log file %s", path_.c_str());
        return;
    }
    terminateTornLine();
    loadState();
}

NQFileLog::~NQFileLog() {
    if (!abandoned_) {
        std::lock_guard<std::mutex> lock(readMutex_);
        if (saveState(handedOut_)) committed_ = handedOut_;
    }
    if (file_ != nullptr) std::fclose(file_);
}

// A process killed in the middle of a line leaves it without its line feed;
// ending it here keeps the next line from being glued to it.
void NQFileLog::terminateTornLine() {
    const int64_t size = fileSizeOf(path_);
    if (size == 0) return;
    std::ifstream in(nqpath::fsPath(path_), std::ios::binary);
    in.seekg(size - 1);
    char last = '\n';
    if (in.get(last) && last != '\n') writeLine("\n");
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
    const std::string tmp = statePath_ + ".tmp";
    std::FILE* out = nqpath::openFile(tmp, "wb");
    if (out == nullptr) return false;
    const bool written = std::fprintf(out, "%" PRId64 " %" PRId64 "\n", offsets.error, offsets.detail) > 0;
    const bool closed = std::fclose(out) == 0;
    const bool renamed = written && closed && nqpath::renameFile(tmp, statePath_);
    if (!renamed) {
        NQSDKCommonLog(3, "NQFileLog", "cannot write state file %s", statePath_.c_str());
        return false;
    }
    return true;
}

void NQFileLog::write(int level, const char* module, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = vformat(fmt, args);
    va_end(args);
    write(level, module, text);
}

void NQFileLog::write(int level, const char* module, const std::string& text) {
    writeLine(formatLogLine(GetCurrentSystemTime(), level, module, text));
}

void NQFileLog::writeLine(const std::string& line) {
    if (file_ == nullptr) return;
    std::lock_guard<std::mutex> lock(writeMutex_);
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
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
}

int64_t NQFileLog::readLines(int64_t begin, int64_t fileSize, std::string& text) const {
    const int64_t window = std::min(fileSize - begin, maxHandOut_);
    text.clear();
    if (window <= 0) return begin;
    std::ifstream in(nqpath::fsPath(path_), std::ios::binary);
    in.seekg(begin);
    text.resize(static_cast<size_t>(window));
    in.read(&text[0], window);
    text.resize(static_cast<size_t>(in.gcount()));
    const size_t lastFeed = text.rfind('\n');
    if (lastFeed != std::string::npos) {
        text.resize(lastFeed + 1);
    } else if (static_cast<int64_t>(text.size()) < maxHandOut_) {
        text.clear();  // a line still being written
    }
    // else: one line longer than a whole hand-out; it goes in parts so the
    // reader never stalls on it.
    return begin + static_cast<int64_t>(text.size());
}

namespace {

std::string errorLines(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        if (parseLogLineLevel(text.data() + start, end - start) >= NQLOG_ERROR) out.append(text, start, end - start);
        start = end;
    }
    return out;
}

}  // namespace

bool NQFileLog::GetLogFileDat(int type, std::string& out, bool take) {
    out.clear();
    if (type != NQLOG_FILE_ERROR && type != NQLOG_FILE_DETAIL) return false;
    std::lock_guard<std::mutex> lock(readMutex_);
    const int64_t fileSize = fileSizeOf(path_);
    restartIfShrunk(fileSize);
    if (take && committed_.of(type) != handedOut_.of(type)) {
        // The caller has dealt with the previous hand-out by now.
        Offsets next = committed_;
        next.of(type) = handedOut_.of(type);
        if (saveState(next)) committed_ = next;
    }
    std::string text;
    const int64_t end = readLines(handedOut_.of(type), fileSize, text);
    if (take) handedOut_.of(type) = end;
    out = type == NQLOG_FILE_ERROR ? errorLines(text) : std::move(text);
    return !out.empty();
}

}  // namespace NQBase
