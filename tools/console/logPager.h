// LogPager: one page of a stored log, read from a byte offset, so a file of
// any size is shown a page at a time and never read whole. A line is marked
// as an error when it holds ERROR or FATAL as a word of its own (separated by
// spaces or tabs), whatever the rest of the line looks like.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace console {

struct LogLine {
    uint64_t offset = 0;  // of the line's first byte in the file
    uint64_t number = 0;  // 1-based within the shown range, 0 when not known
    std::string text;     // without its newline; cut at kMaxLogLineBytes
    bool error = false;
};

struct LogPage {
    std::vector<LogLine> lines;
    bool more = false;  // `next` is where the following page starts
    uint64_t next = 0;
    uint64_t nextNumber = 0;
};

struct LogPageRequest {
    uint64_t begin = 0;  // the range shown: [begin, end) of the file
    uint64_t end = 0;
    uint64_t offset = 0;  // where this page starts, inside the range
    uint64_t firstNumber = 0;  // the number of the line at offset, 0 when not known
    int limit = 0;
    std::string filter;  // only lines holding this text, when not empty
};

bool isErrorLine(const char* text, size_t size);

class LogPager {
public:
    // False when the file cannot be read.
    static bool readPage(const std::string& file, const LogPageRequest& req, LogPage& out);
};

}  // namespace console
