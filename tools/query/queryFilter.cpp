#include "queryFilter.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "storeLayout.h"

#include <sys/stat.h>
#include <tuple>

namespace logquery {

std::string normalizeTime(std::string t) {
    if (t.size() > 10 && t[10] == ' ') t[10] = 'T';
    return t;
}

bool matches(const Filter& f, const logserver::IndexRecord& r) {
    if (!f.pcid.empty() && r.pcid != f.pcid) return false;
    if (!f.nickname.empty() && r.nickname != f.nickname) return false;
    if (!f.conference.empty() && r.conference != f.conference) return false;
    if (!f.org.empty() && r.org != f.org) return false;
    if (!f.cmd.empty() && r.cmdType != f.cmd && std::to_string(r.cmdId) != f.cmd) return false;
    // Index times are fixed-width UTC texts, so text order is time order.
    if (!f.since.empty() && r.time < normalizeTime(f.since)) return false;
    if (!f.until.empty() && r.time >= normalizeTime(f.until)) return false;
    return true;
}

namespace {

void readIndexFile(const std::string& dir, const std::string& rel, const Filter& f, std::vector<Hit>& hits,
                   int& damaged) {
    std::ifstream in(dir + "/" + rel, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        logserver::IndexRecord r;
        if (!logserver::parseIndexLine(line, r)) {
            if (!line.empty()) ++damaged;
            continue;
        }
        if (!matches(f, r)) continue;
        std::string file = dir + "/" + r.path;
        hits.push_back({std::move(r), std::move(file), dir});
    }
}

// Index days are named by the UTC day of their lines' times, so a day wholly
// outside --since/--until is not read at all.
bool dayMayMatch(const Filter& f, const std::string& day) {
    if (!f.since.empty() && day < normalizeTime(f.since).substr(0, 10)) return false;
    if (!f.until.empty() && day > normalizeTime(f.until).substr(0, 10)) return false;
    return true;
}

}  // namespace

bool readStore(const std::string& dir, const Filter& f, std::vector<Hit>& hits, int& damaged, std::string& err) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        err = dir + ": no such store";
        return false;
    }
    // A store not yet converted by a server of this version has one index.
    if (::stat((dir + "/" + logserver::StoreLayout::kOldIndexFile).c_str(), &st) == 0)
        readIndexFile(dir, logserver::StoreLayout::kOldIndexFile, f, hits, damaged);
    std::set<std::string> days;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir + "/" + logserver::StoreLayout::kIndexDir, ec), end;
         !ec && it != end; it.increment(ec)) {
        const std::string day = logserver::StoreLayout::dayOfIndexFile(it->path().filename().string());
        if (!day.empty() && dayMayMatch(f, day)) days.insert(day);
    }
    for (const auto& day : days) readIndexFile(dir, logserver::StoreLayout::indexDay(day), f, hits, damaged);
    return true;
}

namespace {

bool readWhole(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The bytes ref names, when they are all in the file: a range reaching past
// its end (a damaged line, a file cut) gives nothing rather than a guess.
bool readRange(const std::string& store, const std::string& ref, std::string& out) {
    logserver::ByteRangeRef range;
    if (!logserver::parseByteRangeRef(ref, range) || !logserver::StoreLayout::staysInStore(range.path)) return false;
    std::ifstream in(store + "/" + range.path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const uint64_t size = static_cast<uint64_t>(in.tellg());
    if (range.offset > size || range.length > size - range.offset) return false;
    out.resize(static_cast<size_t>(range.length));
    in.seekg(static_cast<std::streamoff>(range.offset));
    in.read(&out[0], static_cast<std::streamsize>(range.length));
    return static_cast<uint64_t>(in.gcount()) == range.length;
}

}  // namespace

void loadCommandJson(Hit& hit) {
    auto& r = hit.record;
    if (hit.store.empty()) return;
    std::string text;
    if (readRange(hit.store, r.meta, text) || (logserver::StoreLayout::staysInStore(r.meta) && readWhole(hit.store + "/" + r.meta, text))) {
        r.json = std::move(text);
    } else if (!r.rejected.empty() && logserver::StoreLayout::staysInStore(r.path) &&
               readWhole(hit.store + "/" + r.path + "/request.json", text)) {
        r.json = std::move(text);
    }
}

void sortAndDedupe(std::vector<Hit>& hits) {
    auto key = [](const Hit& h) { return std::tie(h.record.time, h.record.node, h.record.seq); };
    std::stable_sort(hits.begin(), hits.end(), [&](const Hit& a, const Hit& b) { return key(a) < key(b); });
    auto same = [](const Hit& a, const Hit& b) { return a.record.node == b.record.node && a.record.seq == b.record.seq; };
    hits.erase(std::unique(hits.begin(), hits.end(), same), hits.end());
}

#ifndef LOGREPORT_HAVE_PQXX
bool readDatabase(const std::string&, const Filter&, std::vector<Hit>&, std::string& err) {
    err = "this build has no PostgreSQL support (libpqxx)";
    return false;
}
#endif

}  // namespace logquery
