#include "queryFilter.h"

#include <algorithm>
#include <fstream>
#include <iterator>

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

bool readStore(const std::string& dir, const Filter& f, std::vector<Hit>& hits, int& damaged, std::string& err) {
    std::ifstream in(dir + "/index.jsonl", std::ios::binary);
    if (!in) {
        // A store that has received nothing yet has no index.
        struct stat st {};
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
        err = dir + ": no such store";
        return false;
    }
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
    return true;
}

namespace {

// A path from an index line, kept inside the store it names.
bool insideStore(const std::string& rel) {
    if (rel.empty() || rel[0] == '/') return false;
    for (size_t begin = 0; begin <= rel.size();) {
        size_t end = rel.find('/', begin);
        if (end == std::string::npos) end = rel.size();
        if (rel.compare(begin, end - begin, "..") == 0) return false;
        begin = end + 1;
    }
    return true;
}

bool readWhole(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

void loadCommandJson(Hit& hit) {
    auto& r = hit.record;
    if (hit.store.empty()) return;
    std::string text;
    if (insideStore(r.meta) && readWhole(hit.store + "/" + r.meta, text)) {
        r.json = std::move(text);
    } else if (!r.rejected.empty() && insideStore(r.path) &&
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
