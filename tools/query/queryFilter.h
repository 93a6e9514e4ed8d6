// What logreport-query looks for, and where the answers come from: local
// stores (their index.jsonl) or the shared PostgreSQL index.
#pragma once

#include <string>
#include <vector>

#include "indexRecord.h"

namespace logquery {

struct Filter {
    std::string pcid;
    std::string nickname;
    std::string conference;
    std::string org;
    std::string cmd;    // a command type ("reportDump") or id ("11049")
    std::string since;  // UTC, ISO 8601: entries at or after
    std::string until;  // UTC, ISO 8601: entries before
};

// One answer: the index entry and, for a local store, the file's full path
// and the store it was read from.
struct Hit {
    logserver::IndexRecord record;
    std::string file;
    std::string store;
};

// "2026-12-06 05:00" and "2026-12-06T05:00" both become the second form.
std::string normalizeTime(std::string t);
bool matches(const Filter& f, const logserver::IndexRecord& r);

// Reads <dir>/index.jsonl; damaged lines are skipped and counted.
bool readStore(const std::string& dir, const Filter& f, std::vector<Hit>& hits, int& damaged, std::string& err);
// The command's JSON into hit.record.json: from the store's meta/ file that the
// line names, from request.json of a quarantined command, or else as the line
// or row carried it (stores written before meta/ existed, the shared index).
void loadCommandJson(Hit& hit);
// Fills hits from the logreport_index table.
bool readDatabase(const std::string& conninfo, const Filter& f, std::vector<Hit>& hits, std::string& err);

// Sorted by time, node and seq; one hit per node and seq (stores that were
// copied into each other are read once).
void sortAndDedupe(std::vector<Hit>& hits);

}  // namespace logquery
