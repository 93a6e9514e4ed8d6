#include "retentionSweep.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>

#include "indexRecord.h"
#include "storeLayout.h"

namespace logserver {
namespace {

namespace fs = std::filesystem;

const char* const kKinds[] = {"errlog", "detail", "dump", "report", "rejected"};

std::string kindOf(const IndexRecord& r) {
    if (!r.rejected.empty()) return "rejected";
    switch (r.cmdId) {
        case 11047: return "errlog";
        case 11048: return "detail";
        case 11049: return "dump";
        case 11050: return "report";
        default: return "rejected";
    }
}

struct Tally {
    uint64_t files = 0;
    uint64_t bytes = 0;
};

// Removes rel (a file, or a folder and all in it) and counts what went.
void removeCounted(const std::string& root, const std::string& rel, Tally& tally) {
    if (!StoreLayout::staysInStore(rel)) return;
    const fs::path path = fs::path(root) / rel;
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            std::error_code sizeError;
            if (it->is_regular_file(sizeError)) {
                ++tally.files;
                tally.bytes += it->file_size(sizeError);
            }
        }
        fs::remove_all(path, ec);
        return;
    }
    const uintmax_t size = fs::file_size(path, ec);
    if (!ec && fs::remove(path, ec)) {
        ++tally.files;
        tally.bytes += size;
    }
}

}  // namespace

bool RetentionSweep::addRule(const std::string& text, Rules& rules, std::string& error) {
    const size_t eq = text.find('=');
    const std::string kind = text.substr(0, eq);
    bool known = kind == "all";
    for (const char* k : kKinds) known = known || kind == k;
    if (eq == std::string::npos || !known) {
        error = "--retain takes KIND=DAYS with KIND one of errlog, detail, dump, report, rejected, all: " + text;
        return false;
    }
    const std::string days = text.substr(eq + 1);
    if (days.empty() || days.size() > 5 || days.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(days) < 1) {
        error = "--retain needs a whole number of days of at least 1: " + text;
        return false;
    }
    rules[kind] = std::stoi(days);
    return true;
}

std::string RetentionSweep::daysBefore(const std::string& day, int n) {
    std::tm tm{};
    if (std::sscanf(day.c_str(), "%4d-%2d-%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday) != 3) return {};
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_mday -= n;
    const std::time_t t = timegm(&tm);
    std::tm out{};
    gmtime_r(&t, &out);
    char buf[48];  // room for any int, though a day needs 10
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", out.tm_year + 1900, out.tm_mon + 1, out.tm_mday);
    return buf;
}

void RetentionSweep::dropDaysUpTo(const std::string& lastDay, const std::string& today,
                                  std::vector<std::string>& log) {
    dropUpTo_ = lastDay;
    run(today, log);
    dropUpTo_.clear();
}

bool RetentionSweep::expired(const std::string& kind, const std::string& day, const std::string& today) const {
    if (!dropUpTo_.empty()) return day <= dropUpTo_ && day < today;
    auto rule = rules_.find(kind);
    if (rule == rules_.end()) rule = rules_.find("all");
    if (rule == rules_.end()) return false;
    // DAYS days are kept: today and the DAYS - 1 before it.
    return day <= daysBefore(today, rule->second);
}

void RetentionSweep::run(const std::string& today, std::vector<std::string>& log) const {
    if (rules_.empty() && dropUpTo_.empty()) return;
    std::set<std::string> days;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(root_) / StoreLayout::kIndexDir, ec)) {
        const std::string day = StoreLayout::dayOfIndexFile(e.path().filename().string());
        // Today's lines count for the detail files they wrote to.
        if (!day.empty() && day <= today) days.insert(day);
    }
    std::map<std::string, Tally> tallies;
    std::map<std::string, std::string> newestDetailDay;  // detail path -> newest day that wrote to it
    std::vector<std::string> goneDays;
    for (const std::string& day : days) {
        std::ifstream in(root_ + "/" + StoreLayout::indexDay(day), std::ios::binary);
        bool keepDay = false;
        for (std::string line; std::getline(in, line);) {
            IndexRecord r;
            if (!parseIndexLine(line, r)) continue;
            const std::string kind = kindOf(r);
            if (kind == "detail") {
                auto& newest = newestDetailDay[r.path];
                if (day > newest) newest = day;
            }
            if (!expired(kind, day, today)) {
                keepDay = true;
                continue;
            }
            if (kind == "dump") {
                removeCounted(root_, r.path, tallies[kind]);
                const size_t dot = r.path.rfind(".dmp");
                if (dot != std::string::npos) removeCounted(root_, r.path.substr(0, dot) + ".json", tallies[kind]);
            } else if (kind == "report" || kind == "errlog" || (kind == "rejected" && !r.path.empty())) {
                removeCounted(root_, r.path, tallies[kind]);  // an error log's day file goes whole
            }
        }
        if (!keepDay) goneDays.push_back(day);
    }
    for (const auto& d : newestDetailDay)
        if (!d.first.empty() && expired("detail", d.second, today)) removeCounted(root_, d.first, tallies["detail"]);
    Tally index;
    for (const std::string& day : goneDays) {
        removeCounted(root_, StoreLayout::metaDay(day), index);
        removeCounted(root_, StoreLayout::indexDay(day), index);
    }
    if (!goneDays.empty()) tallies["index and meta"] = index;
    for (const auto& t : tallies) {
        if (t.second.files == 0) continue;
        log.push_back("retention: deleted " + std::to_string(t.second.files) + " " + t.first + " files (" +
                      std::to_string(t.second.bytes) + " bytes) past their limit" +
                      (goneDays.empty() ? std::string() : "; index days up to " + goneDays.back() + " removed"));
    }
}

}  // namespace logserver
