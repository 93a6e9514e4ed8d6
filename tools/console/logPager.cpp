#include "logPager.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "consoleLimits.h"

namespace console {
namespace {

// A filtered page scans at most this much before it answers, so a filter
// that matches nothing in a huge file still answers quickly, with `next`.
constexpr uint64_t kMaxScanBytes = 16 * 1024 * 1024;
constexpr size_t kChunkBytes = 64 * 1024;

bool isWord(const char* p, size_t n, const char* word) { return n == 5 && std::memcmp(p, word, 5) == 0; }

}  // namespace

bool isErrorLine(const char* text, size_t size) {
    size_t i = 0;
    while (i < size) {
        while (i < size && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
        const size_t start = i;
        while (i < size && text[i] != ' ' && text[i] != '\t' && text[i] != '\r') ++i;
        if (isWord(text + start, i - start, "ERROR") || isWord(text + start, i - start, "FATAL")) return true;
    }
    return false;
}

bool LogPager::readPage(const std::string& file, const LogPageRequest& req, LogPage& out) {
    out = LogPage{};
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    const uint64_t end = req.end;
    uint64_t pos = std::max(req.offset, req.begin);
    if (pos >= end) return true;
    in.seekg(static_cast<std::streamoff>(pos));
    const int limit = std::clamp(req.limit, 1, kMaxLogLines);
    uint64_t number = req.firstNumber;
    const uint64_t scanEnd = req.filter.empty() ? end : std::min(end, pos + kMaxScanBytes);
    std::string line;
    uint64_t lineStart = pos;
    bool lineCut = false;
    size_t wholeWords = 0;  // of a cut line: the shown bytes that end in a separator
    std::string tailWord;   // of a cut line: the word being read, at most 6 bytes
    bool tailError = false;
    std::vector<char> chunk(kChunkBytes);
    auto finishLine = [&](uint64_t nextPos) {
        if (line.size() && line.back() == '\r') line.pop_back();
        const bool keep = req.filter.empty() || line.find(req.filter) != std::string::npos;
        if (keep) {
            LogLine l;
            l.offset = lineStart;
            l.number = number;
            // A cut line's last shown word may go on past the cut: it is
            // judged whole, through tailWord.
            l.error = lineCut ? isErrorLine(line.data(), wholeWords) || tailError ||
                                    isErrorLine(tailWord.data(), tailWord.size())
                              : isErrorLine(line.data(), line.size());
            l.text = std::move(line);
            out.lines.push_back(std::move(l));
        }
        if (number) ++number;
        line.clear();
        lineCut = false;
        tailWord.clear();
        tailError = false;
        lineStart = nextPos;
    };
    while (pos < scanEnd && static_cast<int>(out.lines.size()) < limit) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, end - pos));
        in.read(chunk.data(), static_cast<std::streamsize>(want));
        const size_t got = static_cast<size_t>(in.gcount());
        if (got == 0) break;  // the file is shorter than its index says
        size_t i = 0;
        for (; i < got && static_cast<int>(out.lines.size()) < limit; ++i) {
            const char c = chunk[i];
            if (c == '\n') {
                finishLine(pos + i + 1);
                continue;
            }
            if (line.size() < kMaxLogLineBytes) {
                line += c;
                continue;
            }
            // Past what is shown, the line is still read for its mark: only
            // the word being read is kept.
            if (!lineCut) {
                lineCut = true;
                const size_t sep = line.find_last_of(" \t\r");
                wholeWords = sep == std::string::npos ? 0 : sep + 1;
                tailWord = line.size() - wholeWords <= 5 ? line.substr(wholeWords) : std::string("......");
            }
            if (c == ' ' || c == '\t' || c == '\r') {
                tailError = tailError || isErrorLine(tailWord.data(), tailWord.size());
                tailWord.clear();
            } else if (tailWord.size() <= 5) {
                tailWord += c;
            }
        }
        pos += i;
        if (i < got) break;
    }
    // A last line without a newline at the end of the range is a line too.
    if (pos >= end && (!line.empty() || lineCut) && static_cast<int>(out.lines.size()) < limit) finishLine(pos);
    // One line longer than a whole scan: go on after what was scanned, so
    // paging always moves forward.
    const uint64_t resume = out.lines.empty() && lineStart == std::max(req.offset, req.begin) ? pos : lineStart;
    if (resume < end) {
        out.more = true;
        out.next = resume;
        out.nextNumber = number;
    }
    return true;
}

}  // namespace console
