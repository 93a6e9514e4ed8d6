#include "itemIdMap.h"

namespace console {
namespace {

void bindText(sqlite3_stmt* s, int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

std::string columnText(sqlite3_stmt* s, int col) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, col));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s, col))) : std::string();
}

}  // namespace

ItemIdMap::~ItemIdMap() { close(); }

void ItemIdMap::close() {
    for (sqlite3_stmt** s : {&insert_, &find_, &key_}) {
        sqlite3_finalize(*s);
        *s = nullptr;
    }
    sqlite3_close(db_);
    db_ = nullptr;
}

bool ItemIdMap::open(const std::string& stateDir, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    close();  // opened again (an index whose database was away at the first try)
    const std::string path = stateDir + "/pg-ids.sqlite";
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
        error = "cannot open " + path + ": " + sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    char* msg = nullptr;
    // Losing the last numbers in a crash only renumbers rows not yet shown.
    const char* schema =
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"
        "CREATE TABLE IF NOT EXISTS ids(id INTEGER PRIMARY KEY, node TEXT NOT NULL, org TEXT NOT NULL,"
        " seq INTEGER NOT NULL, UNIQUE(node, org, seq));";
    if (sqlite3_exec(db_, schema, nullptr, nullptr, &msg) != SQLITE_OK) {
        error = std::string("item numbers: ") + (msg ? msg : "error");
        sqlite3_free(msg);
        return false;
    }
    const bool prepared =
        sqlite3_prepare_v2(db_, "INSERT OR IGNORE INTO ids(node, org, seq) VALUES(?, ?, ?)", -1, &insert_, nullptr) ==
            SQLITE_OK &&
        sqlite3_prepare_v2(db_, "SELECT id FROM ids WHERE node = ? AND org = ? AND seq = ?", -1, &find_, nullptr) ==
            SQLITE_OK &&
        sqlite3_prepare_v2(db_, "SELECT node, org, seq FROM ids WHERE id = ?", -1, &key_, nullptr) == SQLITE_OK;
    if (!prepared) error = std::string("item numbers: ") + sqlite3_errmsg(db_);
    return prepared;
}

int64_t ItemIdMap::idOf(const RowKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (sqlite3_stmt* s : {insert_, find_}) {
        bindText(s, 1, key.node);
        bindText(s, 2, key.org);
        sqlite3_bind_int64(s, 3, key.seq);
    }
    sqlite3_step(insert_);
    sqlite3_reset(insert_);
    const int64_t id = sqlite3_step(find_) == SQLITE_ROW ? sqlite3_column_int64(find_, 0) : 0;
    sqlite3_reset(find_);
    return id;
}

bool ItemIdMap::keyOf(int64_t id, RowKey& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_bind_int64(key_, 1, id);
    const bool found = sqlite3_step(key_) == SQLITE_ROW;
    if (found) {
        out.node = columnText(key_, 0);
        out.org = columnText(key_, 1);
        out.seq = sqlite3_column_int64(key_, 2);
    }
    sqlite3_reset(key_);
    return found;
}

}  // namespace console
