#include <pqxx/pqxx>

#include "queryFilter.h"

namespace logquery {

bool readDatabase(const std::string& conninfo, const Filter& f, std::vector<Hit>& hits, std::string& err) {
    try {
        pqxx::connection conn(conninfo);
        pqxx::work tx(conn);
        tx.exec("SET TIME ZONE 'UTC'");
        auto rows = tx.exec_params(
            "SELECT node, seq, to_char(time, 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), cmd_id, cmd_type, pcid, "
            "nickname, conference, org, peer, json, compressed_size, inflated_size, path, rejected "
            "FROM logreport_index WHERE ($1 = '' OR pcid = $1) AND ($2 = '' OR nickname = $2) "
            "AND ($3 = '' OR conference = $3) AND ($4 = '' OR org = $4) "
            "AND ($5 = '' OR cmd_type = $5 OR cmd_id::text = $5) "
            "AND (NULLIF($6, '') IS NULL OR time >= NULLIF($6, '')::timestamptz) "
            "AND (NULLIF($7, '') IS NULL OR time < NULLIF($7, '')::timestamptz) "
            "ORDER BY time, node, seq",
            f.pcid, f.nickname, f.conference, f.org, f.cmd, normalizeTime(f.since), normalizeTime(f.until));
        for (const auto& row : rows) {
            Hit h;
            auto& r = h.record;
            r.node = row[0].as<std::string>();
            r.seq = row[1].as<unsigned long long>();
            r.time = row[2].is_null() ? std::string() : row[2].as<std::string>();
            r.cmdId = row[3].as<int>();
            r.cmdType = row[4].as<std::string>();
            r.pcid = row[5].as<std::string>();
            r.nickname = row[6].as<std::string>();
            r.conference = row[7].as<std::string>();
            r.org = row[8].as<std::string>();
            r.peer = row[9].as<std::string>();
            r.json = row[10].as<std::string>();
            r.compressedSize = row[11].as<unsigned long long>();
            r.inflatedSize = row[12].as<unsigned long long>();
            r.path = row[13].as<std::string>();
            r.rejected = row[14].as<std::string>();
            hits.push_back(std::move(h));
        }
        return true;
    } catch (const std::exception& e) {
        std::string text = e.what();
        err = "index database: " + text.substr(0, text.find('\n'));
        return false;
    }
}

}  // namespace logquery
