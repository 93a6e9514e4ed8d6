#include "embeddedIndex.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>

#include "indexRecord.h"

namespace console {
namespace {

// A prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return stmt_ != nullptr; }
    void bind(int i, const std::string& s) { sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT); }
    void bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    bool step() { return sqlite3_step(stmt_) == SQLITE_ROW; }
    bool run() {
        const int rc = sqlite3_step(stmt_);
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        return rc == SQLITE_DONE || rc == SQLITE_ROW;
    }
    std::string text(int col) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
    }
    int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool exec(sqlite3* db, const char* sql, std::string& error) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
    error = std::string("index database: ") + (msg ? msg : "error");
    sqlite3_free(msg);
    return false;
}

// The index is a cache the stores can always rebuild: a crash may lose the
// last writes (the cursors go with them, so they are read again), never the
// stores. Hence no fsync and no rollback journal worth its cost.
const char* kPragmas =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=OFF;"
    // Room for the indexes' pages while a day of lines goes in: a bulk build
    // otherwise rereads them from disk. 48 MiB, within the console's memory bound.
    "PRAGMA cache_size=-49152;"
    "PRAGMA temp_store=MEMORY;";

// Bumped when the tables change: an index of another layout is dropped and
// rebuilt from the stores.
constexpr int kLayoutVersion = 2;

const char* kDropAll =
    "DROP TABLE IF EXISTS items_who; DROP TABLE IF EXISTS names_fts; DROP TABLE IF EXISTS names;"
    "DROP TABLE IF EXISTS items; DROP TABLE IF EXISTS cursors; DROP TABLE IF EXISTS stores;";

// Client names and nicknames repeat on every upload: substrings are searched
// among the distinct names (a small trigram table), and the items of the
// names found through plain indexes. Inserting a line then touches the
// trigram table only for a name never seen before.
const char* kSchema =
    "CREATE TABLE IF NOT EXISTS stores(id INTEGER PRIMARY KEY, root TEXT UNIQUE NOT NULL);"
    "CREATE TABLE IF NOT EXISTS cursors(store INTEGER, day TEXT, offset INTEGER, PRIMARY KEY(store, day));"
    "CREATE TABLE IF NOT EXISTS items(id INTEGER PRIMARY KEY, store INTEGER, day TEXT, seq INTEGER, node TEXT,"
    " org TEXT, cmd_type TEXT, time TEXT, client TEXT, nickname TEXT, meeting TEXT, path TEXT, bytes INTEGER,"
    " has_range INTEGER, off INTEGER, len INTEGER, meta TEXT, rejected TEXT);"
    "CREATE TABLE IF NOT EXISTS names(id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL);"
    "CREATE VIRTUAL TABLE IF NOT EXISTS names_fts USING fts5(name, content='names', content_rowid='id',"
    " tokenize='trigram');";

// Made after the first build's rows are in: sorting a million keys once
// costs a fraction of keeping four indexes ordered row by row.
const char* kItemIndexes =
    "CREATE INDEX IF NOT EXISTS items_time ON items(time, id);"
    "CREATE INDEX IF NOT EXISTS items_meeting ON items(meeting, time);"
    "CREATE INDEX IF NOT EXISTS items_client ON items(client, time);"
    "CREATE INDEX IF NOT EXISTS items_nickname ON items(nickname, time);"
    "CREATE INDEX IF NOT EXISTS items_day ON items(store, day);";

const char* kColumns =
    "id, store, seq, node, org, cmd_type, time, client, nickname, meeting, path, bytes, has_range, off, len, meta, rejected";

ConsoleItem itemFromRow(const Statement& s) {
    ConsoleItem it;
    it.id = s.integer(0);
    it.storeNo = static_cast<int>(s.integer(1));
    it.seq = static_cast<uint64_t>(s.integer(2));
    it.node = s.text(3);
    it.org = s.text(4);
    it.cmdType = s.text(5);
    it.time = s.text(6);
    it.client = s.text(7);
    it.nickname = s.text(8);
    it.meeting = s.text(9);
    it.path = s.text(10);
    it.bytes = static_cast<uint64_t>(s.integer(11));
    it.hasRange = s.integer(12) != 0;
    it.offset = static_cast<uint64_t>(s.integer(13));
    it.length = static_cast<uint64_t>(s.integer(14));
    it.meta = s.text(15);
    it.rejected = s.text(16);
    return it;
}

ConsoleItem itemFromRecord(const logserver::IndexRecord& r, const StoreDir& dir, sqlite3_int64 storeId) {
    ConsoleItem it;
    it.storeNo = static_cast<int>(storeId);
    it.seq = r.seq;
    it.node = r.node;
    it.org = r.org.empty() ? dir.org : r.org;
    it.cmdType = r.cmdType;
    it.time = r.time;
    it.client = clientOf(r.pcid, r.path);
    it.nickname = r.nickname;
    it.meeting = r.conference;
    it.path = r.path;
    it.hasRange = r.hasRange;
    it.offset = r.offset;
    it.length = r.length;
    it.bytes = r.hasRange ? r.length : (r.inflatedSize ? r.inflatedSize : r.compressedSize);
    it.meta = r.meta;
    it.rejected = r.rejected;
    return it;
}

// The LIKE pattern of a substring, with the pattern's own characters escaped.
std::string likePattern(const std::string& s) {
    std::string p = "%";
    for (char c : s) {
        if (c == '%' || c == '_' || c == '\\') p += '\\';
        p += c;
    }
    return p + "%";
}

// An FTS5 phrase of the substring: the trigram tokenizer matches it anywhere
// in the text, ignoring case.
std::string trigramPhrase(const std::string& s) {
    std::string p = "\"";
    for (char c : s) {
        if (c == '"') p += '"';
        p += c;
    }
    return p + "\"";
}

// The WHERE clause and its parameters shared by a search and its counts.
struct Where {
    std::string sql = " WHERE 1";
    std::vector<std::string> params;
    void add(const std::string& clause, const std::string& value) {
        sql += " AND " + clause;
        params.push_back(value);
    }
};

bool scopeClause(const OrgScope& scope, Where& w) {
    if (scope.all) return true;
    if (scope.orgs.empty()) return false;
    // The unary + keeps SQLite from driving the search by these columns.
    w.sql += " AND +org IN (";
    for (size_t i = 0; i < scope.orgs.size(); ++i) {
        w.sql += i ? ",?" : "?";
        w.params.push_back(scope.orgs[i]);
    }
    w.sql += ")";
    return true;
}

}  // namespace

struct EmbeddedIndex::Reader {
    sqlite3* db = nullptr;
    ~Reader() { sqlite3_close(db); }
};

EmbeddedIndex::EmbeddedIndex() = default;

EmbeddedIndex::~EmbeddedIndex() {
    readers_.clear();
    sqlite3_close(writer_);
}

bool EmbeddedIndex::open(const std::string& stateDir, std::string& error) {
    path_ = stateDir + "/index.sqlite";
    if (sqlite3_open(path_.c_str(), &writer_) != SQLITE_OK) {
        error = "cannot open " + path_ + ": " + sqlite3_errmsg(writer_);
        return false;
    }
    sqlite3_busy_timeout(writer_, 5000);
    if (!exec(writer_, kPragmas, error)) return false;
    int version = 0;
    {
        Statement v(writer_, "PRAGMA user_version");
        if (v.step()) version = static_cast<int>(v.integer(0));
    }
    if (version != kLayoutVersion) {
        if (!exec(writer_, kDropAll, error)) return false;
        if (!exec(writer_, ("PRAGMA user_version=" + std::to_string(kLayoutVersion)).c_str(), error)) return false;
    }
    if (!exec(writer_, kSchema, error)) return false;
    {
        Statement any(writer_, "SELECT 1 FROM items LIMIT 1");
        indexesDeferred_ = !any.step();
    }
    return indexesDeferred_ || exec(writer_, kItemIndexes, error);
}

std::unique_ptr<EmbeddedIndex::Reader> EmbeddedIndex::takeReader() {
    {
        std::lock_guard<std::mutex> lock(readersMutex_);
        if (!readers_.empty()) {
            auto r = std::move(readers_.back());
            readers_.pop_back();
            return r;
        }
    }
    auto r = std::make_unique<Reader>();
    if (sqlite3_open_v2(path_.c_str(), &r->db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return nullptr;
    sqlite3_busy_timeout(r->db, 5000);
    return r;
}

void EmbeddedIndex::giveBack(std::unique_ptr<Reader> r) {
    std::lock_guard<std::mutex> lock(readersMutex_);
    if (readers_.size() < 32) readers_.push_back(std::move(r));
}

sqlite3_int64 EmbeddedIndex::storeIdOf(const std::string& root, std::string& error) {
    Statement insert(writer_, "INSERT OR IGNORE INTO stores(root) VALUES(?)");
    insert.bind(1, root);
    insert.run();
    Statement find(writer_, "SELECT id FROM stores WHERE root = ?");
    find.bind(1, root);
    if (!find.step()) {
        error = "index database: cannot record store " + root;
        return -1;
    }
    return find.integer(0);
}

bool EmbeddedIndex::refresh(const StoreSet& stores, std::vector<ConsoleItem>* added, RefreshStats& stats,
                            std::string& error) {
    for (const auto& dir : stores.dirs()) {
        const sqlite3_int64 storeId = storeIdOf(dir.root, error);
        if (storeId < 0) return false;
        {
            std::lock_guard<std::mutex> lock(activeMutex_);
            active_[static_cast<int>(storeId)] = dir;
        }
        const auto days = StoreSet::indexDays(dir);
        // Days the index knows that the store no longer has: retention took them.
        std::vector<std::string> gone;
        {
            Statement known(writer_, "SELECT day FROM cursors WHERE store = ?");
            known.bind(1, storeId);
            while (known.step())
                if (!std::binary_search(days.begin(), days.end(), known.text(0))) gone.push_back(known.text(0));
        }
        for (const auto& day : gone) {
            if (!exec(writer_, "BEGIN", error)) return false;
            // The day's names stay: a name without items finds nothing.
            Statement items(writer_, "DELETE FROM items WHERE store = ? AND day = ?");
            Statement cursor(writer_, "DELETE FROM cursors WHERE store = ? AND day = ?");
            for (Statement* s : {&items, &cursor}) {
                s->bind(1, storeId);
                s->bind(2, day);
                s->run();
            }
            if (!exec(writer_, "COMMIT", error)) return false;
            ++stats.droppedDays;
        }
        for (const auto& day : days) {
            struct stat st {};
            const std::string file = dir.root + "/index/" + day + ".jsonl";
            if (::stat(file.c_str(), &st) != 0) continue;
            if (!refreshDay(storeId, dir, day, static_cast<uint64_t>(st.st_size), added, stats, error)) return false;
        }
    }
    if (indexesDeferred_) {
        if (!exec(writer_, kItemIndexes, error)) return false;
        indexesDeferred_ = false;
    }
    return true;
}

bool EmbeddedIndex::refreshDay(sqlite3_int64 storeId, const StoreDir& dir, const std::string& day, uint64_t size,
                               std::vector<ConsoleItem>* added, RefreshStats& stats, std::string& error) {
    uint64_t from = 0;
    {
        Statement cur(writer_, "SELECT offset FROM cursors WHERE store = ? AND day = ?");
        cur.bind(1, storeId);
        cur.bind(2, day);
        if (cur.step()) from = static_cast<uint64_t>(cur.integer(0));
    }
    // A day that became shorter had a torn last line cut: read on from its end.
    if (size < from) from = size;
    if (size == from) return true;
    std::ifstream in(dir.root + "/index/" + day + ".jsonl", std::ios::binary);
    if (!in.seekg(static_cast<std::streamoff>(from))) return true;
    if (!exec(writer_, "BEGIN", error)) return false;
    Statement insert(writer_,
                     "INSERT INTO items(store, day, seq, node, org, cmd_type, time, client, nickname, meeting, path,"
                     " bytes, has_range, off, len, meta, rejected) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    Statement name(writer_, "INSERT OR IGNORE INTO names(name) VALUES(?)");
    Statement nameTrigrams(writer_, "INSERT INTO names_fts(rowid, name) VALUES(?, ?)");
    auto rememberName = [&](const std::string& text) {
        if (text.empty()) return;
        name.bind(1, text);
        name.run();
        if (sqlite3_changes(writer_) == 0) return;  // known already
        nameTrigrams.bind(1, static_cast<int64_t>(sqlite3_last_insert_rowid(writer_)));
        nameTrigrams.bind(2, text);
        nameTrigrams.run();
    };
    uint64_t pos = from;
    std::string line;
    // Reads only what the day held when it was measured, so a line still
    // being written is taken whole next time.
    while (pos < size && std::getline(in, line)) {
        if (in.eof() || pos + line.size() + 1 > size) break;  // no newline yet
        pos += line.size() + 1;
        logserver::IndexRecord r;
        if (!logserver::parseIndexLine(line, r)) {
            if (!line.empty()) ++stats.damaged;
            continue;
        }
        ConsoleItem it = itemFromRecord(r, dir, storeId);
        insert.bind(1, storeId);
        insert.bind(2, day);
        insert.bind(3, static_cast<int64_t>(it.seq));
        insert.bind(4, it.node);
        insert.bind(5, it.org);
        insert.bind(6, it.cmdType);
        insert.bind(7, it.time);
        insert.bind(8, it.client);
        insert.bind(9, it.nickname);
        insert.bind(10, it.meeting);
        insert.bind(11, it.path);
        insert.bind(12, static_cast<int64_t>(it.bytes));
        insert.bind(13, it.hasRange ? 1 : 0);
        insert.bind(14, static_cast<int64_t>(it.offset));
        insert.bind(15, static_cast<int64_t>(it.length));
        insert.bind(16, it.meta);
        insert.bind(17, it.rejected);
        if (!insert.run()) {
            error = std::string("index database: ") + sqlite3_errmsg(writer_);
            exec(writer_, "ROLLBACK", error);
            return false;
        }
        it.id = sqlite3_last_insert_rowid(writer_);
        rememberName(it.client);
        rememberName(it.nickname);
        ++stats.added;
        if (added) added->push_back(std::move(it));
    }
    Statement cursor(writer_, "INSERT OR REPLACE INTO cursors(store, day, offset) VALUES(?, ?, ?)");
    cursor.bind(1, storeId);
    cursor.bind(2, day);
    cursor.bind(3, static_cast<int64_t>(pos));
    cursor.run();
    return exec(writer_, "COMMIT", error);
}

std::string EmbeddedIndex::activeClause() const {
    std::lock_guard<std::mutex> lock(activeMutex_);
    std::string ids;
    for (const auto& [id, dir] : active_) ids += (ids.empty() ? "" : ",") + std::to_string(id);
    return " AND +store IN (" + ids + ")";
}

bool EmbeddedIndex::storeDir(int storeNo, StoreDir& out) const {
    std::lock_guard<std::mutex> lock(activeMutex_);
    auto it = active_.find(storeNo);
    if (it == active_.end()) return false;
    out = it->second;
    return true;
}

bool EmbeddedIndex::search(const SearchQuery& q, const OrgScope& scope, SearchResult& out, std::string& error) {
    out = SearchResult{};
    Where w;
    if (!scopeClause(scope, w)) return true;
    w.sql += activeClause();
    if (!q.org.empty()) w.add("org = ?", q.org);
    if (!q.meeting.empty()) w.add("meeting = ?", q.meeting);
    if (!q.kind.empty()) w.add("cmd_type = ?", q.kind);
    if (!q.node.empty()) w.add("node = ?", q.node);
    if (!q.from.empty()) w.add("time >= ?", q.from);
    if (!q.to.empty()) w.add("time < ?", q.to);
    if (!q.client.empty()) {
        // The names holding the substring, then their items by the plain
        // indexes. The trigram table answers substrings of three characters
        // or more; shorter ones scan the names (not the items).
        const std::string names = q.client.size() >= 3
                                      ? "(SELECT name FROM names WHERE id IN (SELECT rowid FROM names_fts WHERE names_fts MATCH ?))"
                                      : "(SELECT name FROM names WHERE name LIKE ? ESCAPE '\\')";
        const std::string pattern = q.client.size() >= 3 ? trigramPhrase(q.client) : likePattern(q.client);
        w.add("(client IN " + names + " OR nickname IN " + names + ")", pattern);
        w.params.push_back(pattern);
    }
    auto reader = takeReader();
    if (!reader) {
        error = "index database cannot be read";
        return false;
    }
    Where page = w;
    if (q.hasCursor) {
        page.sql += " AND (time < ? OR (time = ? AND id < ?))";
        page.params.push_back(q.cursorTime);
        page.params.push_back(q.cursorTime);
        page.params.push_back(std::to_string(q.cursorId));
    }
    {
        Statement s(reader->db, std::string("SELECT ") + kColumns + " FROM items" + page.sql +
                                    " ORDER BY time DESC, id DESC LIMIT " + std::to_string(q.limit + 1));
        if (!s.ok()) {
            error = std::string("index database: ") + sqlite3_errmsg(reader->db);
            return false;
        }
        for (size_t i = 0; i < page.params.size(); ++i) s.bind(static_cast<int>(i + 1), page.params[i]);
        while (s.step()) out.items.push_back(itemFromRow(s));
    }
    if (out.items.size() > static_cast<size_t>(q.limit)) {
        out.items.resize(static_cast<size_t>(q.limit));
        out.next = makeCursor(out.items.back().time, out.items.back().id);
    }
    {
        Statement s(reader->db, "SELECT cmd_type, count(*) FROM items" + w.sql + " GROUP BY cmd_type");
        for (size_t i = 0; i < w.params.size(); ++i) s.bind(static_cast<int>(i + 1), w.params[i]);
        while (s.step()) out.counts[s.text(0)] = s.integer(1);
    }
    giveBack(std::move(reader));
    return true;
}

bool EmbeddedIndex::item(int64_t id, const OrgScope& scope, ConsoleItem& out) {
    auto reader = takeReader();
    if (!reader) return false;
    bool found = false;
    {
        Statement s(reader->db, std::string("SELECT ") + kColumns + " FROM items WHERE id = ?");
        s.bind(1, id);
        if (s.step()) {
            out = itemFromRow(s);
            StoreDir dir;
            found = scope.allows(out.org) && storeDir(out.storeNo, dir);
        }
    }
    giveBack(std::move(reader));
    return found;
}

bool EmbeddedIndex::chart(const std::string& client, const OrgScope& scope, const std::string& since, ClientChart& out) {
    out.clear();
    Where w;
    if (!scopeClause(scope, w)) return true;
    w.sql += activeClause();
    w.add("client = ?", client);
    w.add("time >= ?", since);
    auto reader = takeReader();
    if (!reader) return false;
    {
        Statement s(reader->db, "SELECT cmd_type, substr(time, 1, 13), count(*) FROM items" + w.sql + " GROUP BY 1, 2");
        for (size_t i = 0; i < w.params.size(); ++i) s.bind(static_cast<int>(i + 1), w.params[i]);
        while (s.step()) out[s.text(0)][s.text(1)] = s.integer(2);
    }
    giveBack(std::move(reader));
    return true;
}

}  // namespace console
