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
// offset into the log file in a state file beside it ("<log>.state", rewritten
// in place; its first line holds the error and the detail offset, each as 19
// decimal digits). A call of a type hands out the whole lines
// between that type's committed offset and the end of the file (at most
// maxHandOutBytes) and remembers where it stopped. Detail text is read once,
// straight into the caller's string; a caller that keeps its string across
// calls (the library's detail collector does while a backlog drains) has it
// filled without new pages, since a hand-out cut by the cap reserves the whole
// cap. Error lines are copied from the file mapped a window at a time.
//
// The error log never rereads the detail text: as an ERROR or FATAL line is
// written, its place in the log file goes to an index beside it
// ("<log>.errindex": 16 bytes a line, the line's offset and length, both 64-bit
// little-endian), and the error hand-out copies just those lines. A missing
// index is rebuilt at start from the log file; an index record cut by a kill is
// dropped and its line, the last of the log file, indexed again.
//
// Commit, and what a kill hands out again. Called from a handler, slot or timer
// call on a host loop's thread (as the report library calls it), a hand-out is
// committed as soon as that call has returned, before the loop dispatches
// anything else: by then the caller has queued what it was given. A process
// killed after that is handed none of it again; one killed inside the call is
// handed again at most what that call was handed (one pass: at most
// maxHandOutBytes of each type, from the same offset). Called from any other
// thread, a hand-out is committed at the next call of the same type, or when the
// logger is destroyed, so a kill hands out again at most the last hand-out of
// each type. Never a loss: text is committed only after it was handed out.
// Whether text handed out again reaches the server twice is not up to the
// logger: the library queues it again, and the log server drops a command it
// stored lately when the same bytes come again (docs/RELIABILITY.md).
//
// A log file that shrank below an offset (rotated or truncated by someone else)
// restarts both offsets at 0 and says so through NQSDKCommonLog. The log file is
// written only through this object; lines appended by anything else reach the
// detail log but not the error log.
//
// Threads: write may be called from any number of threads at once; each line
// reaches the operating system whole before write returns. GetLogFileDat and
// GetInitData may be called from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

class NQHOST_API NQFileLog : public NQLog {
public:
    // Per call. It bounds what a kill hands out again and the caller's buffer.
    static constexpr int64_t kDefaultMaxHandOut = int64_t(2) << 20;
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
        bool operator==(const Offsets& o) const { return error == o.error && detail == o.detail; }
    };
    // One error line in the log file, as the index stores it.
    struct IndexRecord {
        int64_t begin = 0;
        int64_t length = 0;
    };
    // What one call hands out: the text and where the type's offset goes.
    struct HandOut {
        int64_t end = 0;
        int64_t indexEnd = 0;  // error only: first index record not handed out
    };

    void writeLine(const std::string& line, bool errorLine);
    void terminateTornLine();
    void loadState();
    bool saveState(const Offsets& offsets) const;
    void restartIfShrunk(int64_t fileSize);
    // Index upkeep; writeMutex_ held.
    void openIndex();
    void rebuildIndex(int64_t from, int64_t fileSize);
    void appendIndexRecord(int64_t begin, int64_t length);
    int64_t firstRecordFrom(int64_t offset) const;
    HandOut handOutDetail(int64_t fileSize, std::string& out) const;
    HandOut handOutErrors(int64_t fileSize, std::string& out) const;
    void queueCommit();
    void commitHandOuts();

    const std::string path_;
    const std::string statePath_;
    const std::string indexPath_;
    const int64_t maxHandOut_;
    std::FILE* file_ = nullptr;
    std::FILE* index_ = nullptr;
    mutable std::mutex writeMutex_;  // one line at a time into file_ and index_
    int64_t logEnd_ = 0;       // writeMutex_: the log file's size as written here
    int64_t indexCount_ = 0;   // writeMutex_: records in the index
    std::mutex readMutex_;     // offsets, the state file, the fields below
    Offsets committed_;        // persisted in the state file
    Offsets handedOut_;        // end of the last hand-out of each type
    int64_t errorIndexNext_ = 0;  // first index record after handedOut_.error
    bool commitQueued_ = false;
    bool abandoned_ = false;
    std::shared_ptr<char> alive_ = std::make_shared<char>();  // lets queued commits see a destroyed logger
};

// Formats one line as NQFileLog writes it ("...\n" included).
NQHOST_API std::string formatLogLine(int64_t timeMs, int level, const char* module, const std::string& text);
// The level of a line in that format, or -1 when the line does not parse.
NQHOST_API int parseLogLineLevel(const char* line, size_t length);
NQHOST_API const char* logLevelName(int level);

}  // namespace NQBase
