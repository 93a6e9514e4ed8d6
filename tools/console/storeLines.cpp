#include "storeLines.h"

#include <fstream>

namespace console {

std::string StoreLines::nodeOf(const StoreDir& dir) {
    const auto days = StoreSet::indexDays(dir);
    for (auto day = days.rbegin(); day != days.rend(); ++day) {
        std::ifstream in(dir.root + "/index/" + *day + ".jsonl", std::ios::binary);
        std::string line;
        // A handful of lines: a damaged one must not hide the node.
        for (int i = 0; i < 16 && std::getline(in, line) && !in.eof(); ++i) {
            logserver::IndexRecord r;
            if (logserver::parseIndexLine(line, r) && !r.node.empty()) return r.node;
        }
    }
    return {};
}

bool StoreLines::find(const StoreDir& dir, const std::string& day, uint64_t seq, const std::string& node,
                      logserver::IndexRecord& out) {
    if (!StoreSet::isDay(day)) return false;
    std::ifstream in(dir.root + "/index/" + day + ".jsonl", std::ios::binary);
    const std::string key = "\"seq\":" + std::to_string(seq);
    std::string line;
    while (std::getline(in, line)) {
        // Only lines that could be it are parsed.
        const size_t at = line.find(key);
        if (at == std::string::npos) continue;
        const char after = at + key.size() < line.size() ? line[at + key.size()] : '\0';
        if (after != ',' && after != '}') continue;
        logserver::IndexRecord r;
        if (logserver::parseIndexLine(line, r) && r.seq == seq && (r.node.empty() || r.node == node)) {
            out = std::move(r);
            return true;
        }
    }
    return false;
}

}  // namespace console
