// NQFileLog: the reference logger. It appends timestamped lines to one log file
// and hands the text back to the report library (GetLogFileDat) by reading the
// file itself, so what the process wrote survives a crash and is handed out
// after the next start.
//
// Line format, one record per line:
//   "YYYY-MM-DD HH:MM:SS.mmm LEVEL [module] text\n"   (local time)
// Line breaks inside a message are written as spaces so that every line read
// back carries its own level. Messages longer than kMaxMessageBytes are cut.
//
// Hand-out positions. For each type (1 error, 2 detail) the logger keeps a read
// offset into the log file in a state file beside it ("<log>.state", replaced
// atomically by writing "<log>.state.tmp" and renaming it). A call of a type
// hands out the whole lines between that type's committed offset and the end
// of the file (at most maxHandOutBytes) and remembers where it stopped; that
// position is committed only at the next call of the same type, or when the
// logger is destroyed. A process killed between the two hands the same text out
// again after its restart: at worst one pass is duplicated, never lost.
//
// A log file that shrank below an offset (rotated or truncated by someone else)
// restarts both offsets at 0 and says so through NQSDKCommonLog.
//
// Threads: write may be called from any number of threads at once; each line
// reaches the operating system whole before write returns. GetLogFileDat and
// GetInitData may be called from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "NQLog.h"
#include "NQPlatform.h"

namespace NQBase {

enum NQLogLevel {
    NQLOG_DEBUG = 0,
    NQLOG_INFO = 1,
    NQLOG_WARN = 2,
    NQLOG_ERROR = 3,  // this level and above also go to the error log (type 1)
    NQLOG_FATAL = 4,
};

enum NQLogFileType { NQLOG_FILE_ERROR = 1, NQLOG_FILE_DETAIL = 2 };

class NQHOST_API NQFileLog : public NQLog {
public:
    static constexpr int64_t kDefaultMaxHandOut = int64_t(32) << 20;  // 32 MiB per call
    static constexpr size_t kMaxMessageBytes = 16384;

    // Opens (creates or appends to) the log file and loads the state file.
    explicit NQFileLog(const std::string& logFilePath, int64_t maxHandOutBytes = kDefaultMaxHandOut);
    // Commits the last hand-out of each type, unless abandon() was called.
    ~NQFileLog() override;
    NQFileLog(const NQFileLog&) = delete;
    NQFileLog& operator=(const NQFileLog&) = delete;

    void write(int level, const char* module, const char* fmt, ...) NQ_PRINTF_FORMAT(4, 5);
    void write(int level, const char* module, const std::string& text);

    void GetInitData(LogInitData& data) override;
    // take true: hands out the next text of the type (committing the previous
    // hand-out). take false: returns the text the next take would hand out,
    // changing nothing. Returns true when out is not empty.
    bool GetLogFileDat(int type, std::string& out, bool take) override;

    bool isOpen() const { return file_ != nullptr; }
    const std::string& statePath() const { return statePath_; }
    // Makes the destructor skip its commit, as if the process were killed.
    void abandon() { abandoned_ = true; }

private:
    struct Offsets {
        int64_t error = 0;
        int64_t detail = 0;
        int64_t& of(int type) { return type == NQLOG_FILE_ERROR ? error : detail; }
    };

    void writeLine(const std::string& line);
    void terminateTornLine();
    void loadState();
    bool saveState(const Offsets& offsets) const;
    void restartIfShrunk(int64_t fileSize);
    // Reads the whole lines from begin (at most maxHandOut_ bytes) into text;
    // returns the offset after them.
    int64_t readLines(int64_t begin, int64_t fileSize, std::string& text) const;

    const std::string path_;
    const std::string statePath_;
    const int64_t maxHandOut_;
    std::FILE* file_ = nullptr;
    std::mutex writeMutex_;  // one line at a time into file_
    std::mutex readMutex_;   // offsets and the state file
    Offsets committed_;      // persisted in the state file
    Offsets handedOut_;      // end of the last hand-out of each type
    bool abandoned_ = false;
};

// Formats one line as NQFileLog writes it ("...\n" included).
NQHOST_API std::string formatLogLine(int64_t timeMs, int level, const char* module, const std::string& text);
// The level of a line in that format, or -1 when the line does not parse.
NQHOST_API int parseLogLineLevel(const char* line, size_t length);
NQHOST_API const char* logLevelName(int level);

}  // namespace NQBase
