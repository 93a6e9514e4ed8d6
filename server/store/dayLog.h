// DayLog: a file per UTC day that commands append to, back to back: the
// index days (index/<day>.jsonl) and the meta day logs (meta/<day>.log).
//
// Appends are serialised; each says where its bytes start, and a write that
// fails is cut back so that the next append does not glue onto a torn one.
// The file of the day being written stays open between appends; flush()
// flushes every file appended to since the last flush (also yesterday's,
// across midnight).
//
// Thread rules: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "storeError.h"

namespace logserver {

class DayLog {
public:
    using PathOfDay = std::function<std::string(const std::string& day)>;
    // Called under the log's lock before bytes go to relPath, which holds size
    // bytes: the journal's intent. False stops the append.
    using BeforeAppend = std::function<bool(const std::string& relPath, uint64_t size, StoreError& err)>;

    DayLog(std::string root, PathOfDay pathOfDay, bool sync);
    ~DayLog();
    DayLog(const DayLog&) = delete;
    DayLog& operator=(const DayLog&) = delete;

    bool append(const std::string& day, const std::string& bytes, const BeforeAppend& before, uint64_t& offset,
                StoreError& err);
    bool flush(StoreError& err);

private:
    bool openDay(const std::string& day, StoreError& err);
    bool movedAway() const;

    const std::string root_;
    const PathOfDay pathOfDay_;
    const bool sync_;
    std::mutex mutex_;
    std::string day_;
    std::string relPath_;
    int fd_ = -1;
    uint64_t size_ = 0;
    bool dirty_ = false;
    // Files of earlier days not flushed since their last append.
    std::vector<int> retired_;
};

}  // namespace logserver
