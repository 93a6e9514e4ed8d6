// logreport-query: what arrived for a client, a conference or a command type
// in a time range, read from one or more local stores or from the shared
// PostgreSQL index, with where each file lies (node and path).
//
// Exit status: 0 with answers, 1 when nothing matched, 2 on a source that
// cannot be read.

#include <CLI/CLI.hpp>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <iostream>
#include <string>
#include <vector>

#include "queryFilter.h"

namespace {

using logquery::Hit;

void printJson(const std::vector<Hit>& hits) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    auto str = [&w](const char* key, const std::string& s) {
        w.Key(key);
        w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
    };
    w.StartArray();
    for (const auto& h : hits) {
        const auto& r = h.record;
        w.StartObject();
        str("node", r.node);
        w.Key("seq");
        w.Uint64(r.seq);
        str("time", r.time);
        w.Key("cmdId");
        w.Int(r.cmdId);
        str("cmdType", r.cmdType);
        str("pcid", r.pcid);
        str("nickname", r.nickname);
        str("conference", r.conference);
        str("org", r.org);
        str("peer", r.peer);
        w.Key("compressedSize");
        w.Uint64(r.compressedSize);
        w.Key("inflatedSize");
        w.Uint64(r.inflatedSize);
        str("path", r.path);
        str("file", h.file);
        if (r.hasRange) {
            w.Key("offset");
            w.Uint64(r.offset);
            w.Key("length");
            w.Uint64(r.length);
        }
        str("rejected", r.rejected);
        str("json", r.json);
        w.EndObject();
    }
    w.EndArray();
    std::cout << buf.GetString() << '\n';
}

std::string orDash(const std::string& s) { return s.empty() ? "-" : s; }

void printText(const std::vector<Hit>& hits, bool show) {
    for (const auto& h : hits) {
        const auto& r = h.record;
        std::cout << orDash(r.time) << "  " << orDash(r.node) << "-" << r.seq << "  " << r.cmdType
                  << "  pcid=" << orDash(r.pcid) << " nickname=" << orDash(r.nickname)
                  << " conference=" << orDash(r.conference);
        if (!r.org.empty()) std::cout << " org=" << r.org;
        std::cout << "  " << r.inflatedSize << " bytes  node " << orDash(r.node) << " path " << r.path;
        if (!r.rejected.empty()) std::cout << "  (rejected: " << r.rejected << ")";
        std::cout << '\n';
        if (show) {
            if (!h.file.empty()) std::cout << "    file: " << h.file << '\n';
            if (r.hasRange) std::cout << "    bytes: " << r.length << " from offset " << r.offset << '\n';
            if (!r.peer.empty()) std::cout << "    from: " << r.peer << '\n';
            if (!r.json.empty()) std::cout << "    json: " << r.json << '\n';
        }
    }
    std::cout << hits.size() << (hits.size() == 1 ? " entry\n" : " entries\n");
}

}  // namespace

int main(int argc, char* argv[]) {
    CLI::App app{"logreport-query: lists what the log servers stored for a client, conference or command type"};
    std::vector<std::string> stores;
    std::string db;
    logquery::Filter f;
    bool json = false;
    bool show = false;
    app.add_option("--store", stores,
                   "a local store folder (repeatable); with the server's --tokens each organisation's store is "
                   "<store>/<ORGANISATION>");
    app.add_option("--db", db, "PostgreSQL connection string of the shared index")->envname("LOGREPORT_INDEX_DB");
    app.add_option("--pcid", f.pcid, "client PC id");
    app.add_option("--nickname", f.nickname, "user's nickname");
    app.add_option("--conference", f.conference, "conference id");
    app.add_option("--org", f.org,
                   "organisation, as the shared index records it (for a local store give --store "
                   "<store>/<ORGANISATION> instead)");
    app.add_option("--cmd", f.cmd, "command type (reportLog, reportDetail, reportDump, reportUser) or id");
    app.add_option("--since", f.since, "UTC time, entries at or after (2026-12-06T05:00)");
    app.add_option("--until", f.until, "UTC time, entries before");
    app.add_flag("--json", json, "one JSON array, for scripts");
    app.add_flag("--show", show,
                 "also the stored file's full path, the sender and the command's JSON (read from the store's "
                 "meta day logs; from --db only where the row holds it)");
    CLI11_PARSE(app, argc, argv);
    if (stores.empty() && db.empty()) {
        std::cerr << "logreport-query: give --store DIR or --db CONNINFO" << std::endl;
        return 2;
    }

    std::vector<Hit> hits;
    std::string err;
    if (!db.empty() && !logquery::readDatabase(db, f, hits, err)) {
        std::cerr << "logreport-query: " << err << std::endl;
        return 2;
    }
    for (const auto& dir : stores) {
        int damaged = 0;
        if (!logquery::readStore(dir, f, hits, damaged, err)) {
            std::cerr << "logreport-query: " << err << std::endl;
            return 2;
        }
        if (damaged > 0) std::cerr << "logreport-query: " << dir << ": skipped " << damaged << " damaged index lines\n";
    }
    logquery::sortAndDedupe(hits);
    if (show || json) {
        for (auto& h : hits) logquery::loadCommandJson(h);
    }
    if (json) {
        printJson(hits);
    } else {
        printText(hits, show);
    }
    return hits.empty() ? 1 : 0;
}
