#include "pgIndex.h"

#include <pqxx/pqxx>

#include "jsonText.h"
#include "storeLines.h"

namespace console {
namespace {

// Rows a refresh takes per store for the live view; the rest come next time.
constexpr int kLiveRowsPerRefresh = 1000;
// Connections kept open between requests.
constexpr size_t kPoolSize = 8;
constexpr int kConnectTimeoutS = 5;

// Built CONCURRENTLY: the servers' shippers go on inserting meanwhile.
const char kSetupSql[] =
    "CREATE EXTENSION IF NOT EXISTS pg_trgm;\n"
    "CREATE INDEX CONCURRENTLY IF NOT EXISTS logreport_index_pcid_trgm ON logreport_index USING gin (pcid gin_trgm_ops);\n"
    "CREATE INDEX CONCURRENTLY IF NOT EXISTS logreport_index_nickname_trgm ON logreport_index USING gin (nickname gin_trgm_ops);\n"
    "CREATE INDEX CONCURRENTLY IF NOT EXISTS logreport_index_conference ON logreport_index (conference, time);\n"
    "CREATE INDEX CONCURRENTLY IF NOT EXISTS logreport_index_pcid ON logreport_index (pcid, time);\n"
    "CREATE INDEX CONCURRENTLY IF NOT EXISTS logreport_index_time ON logreport_index (time);\n";

const char kColumns[] =
    "node, seq, to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), cmd_type, pcid, nickname,"
    " conference, org, path, compressed_size, inflated_size, rejected";

// The table holds UTF-8 without NUL (the shipper turns other bytes into
// U+FFFD): a parameter is made the same, so it matches what was stored.
std::string pgParam(const std::string& s) {
    std::string out;
    for (char c : validUtf8(s, LineEnds::kKeep)) {
        if (c == '\0')
            out += "\xEF\xBF\xBD";
        else
            out += c;
    }
    return out;
}

std::string likePattern(const std::string& s) {
    std::string p = "%";
    for (char c : pgParam(s)) {
        if (c == '%' || c == '_' || c == '\\') p += '\\';
        p += c;
    }
    return p + "%";
}

std::string withConnectTimeout(const std::string& conninfo) {
    if (conninfo.find("connect_timeout") != std::string::npos) return conninfo;
    const std::string setting = "connect_timeout=" + std::to_string(kConnectTimeoutS);
    const bool uri = conninfo.rfind("postgresql://", 0) == 0 || conninfo.rfind("postgres://", 0) == 0;
    if (!uri) return conninfo.empty() ? setting : conninfo + " " + setting;
    return conninfo + (conninfo.find('?') == std::string::npos ? "?" : "&") + setting;
}

// libpq's texts name host and port, never the password; the first line is enough.
std::string dbError(const std::exception& e) {
    std::string text = e.what();
    text = text.substr(0, text.find('\n'));
    return "index database: " + (text.empty() ? std::string("unknown error") : text);
}

ConsoleItem itemOfRow(const pqxx::row& row) {
    ConsoleItem it;
    it.node = row[0].as<std::string>();
    it.seq = row[1].as<uint64_t>();
    it.time = row[2].is_null() ? std::string() : row[2].as<std::string>();
    it.cmdType = row[3].as<std::string>();
    it.path = row[8].as<std::string>();
    it.client = clientOf(row[4].as<std::string>(), it.path);
    it.nickname = row[5].as<std::string>();
    it.meeting = row[6].as<std::string>();
    it.org = row[7].as<std::string>();
    const auto compressed = row[9].as<uint64_t>();
    const auto inflated = row[10].as<uint64_t>();
    it.bytes = inflated ? inflated : compressed;
    it.rejected = row[11].as<std::string>();
    return it;
}

// The WHERE clause and its parameters, numbered $1, $2 ... in order.
struct Where {
    std::string sql = " WHERE true";
    std::vector<std::string> params;
    std::string next(const std::string& value) {
        params.push_back(value);
        return "$" + std::to_string(params.size());
    }
    void add(const std::string& before, const std::string& value, const std::string& after = "") {
        sql += " AND " + before + next(value) + after;
    }
};

bool scopeClause(const OrgScope& scope, Where& w) {
    if (scope.all) return true;
    if (scope.orgs.empty()) return false;
    w.sql += " AND org IN (";
    for (size_t i = 0; i < scope.orgs.size(); ++i) w.sql += (i ? "," : "") + w.next(pgParam(scope.orgs[i]));
    w.sql += ")";
    return true;
}

}  // namespace

struct PgIndex::Connection {
    std::unique_ptr<pqxx::connection> conn;
};

PgIndex::PgIndex() = default;
PgIndex::~PgIndex() = default;

const char* PgIndex::setupSql() { return kSetupSql; }

std::unique_ptr<PgIndex::Connection> PgIndex::take(std::string& error) {
    {
        std::lock_guard<std::mutex> lock(poolMutex_);
        if (!pool_.empty()) {
            auto c = std::move(pool_.back());
            pool_.pop_back();
            if (c->conn->is_open()) return c;
        }
    }
    try {
        auto c = std::make_unique<Connection>();
        c->conn = std::make_unique<pqxx::connection>(conninfo_);
        return c;
    } catch (const std::exception& e) {
        error = dbError(e);
        return nullptr;
    }
}

void PgIndex::giveBack(std::unique_ptr<Connection> c) {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (pool_.size() < kPoolSize) pool_.push_back(std::move(c));
}

bool PgIndex::open(const std::string& conninfo, const std::string& stateDir, std::string& error) {
    conninfo_ = withConnectTimeout(conninfo);
    if (!ids_.open(stateDir, error)) return false;
    auto c = take(error);
    if (!c) return false;
    try {
        pqxx::nontransaction tx(*c->conn);
        if (tx.exec("SELECT to_regclass('logreport_index') IS NOT NULL")[0][0].as<bool>() == false) {
            error = "index database: the table logreport_index does not exist yet; a server started with "
                    "--index-db creates it";
            return false;
        }
    } catch (const std::exception& e) {
        error = dbError(e);
        return false;
    }
    // Each statement on its own: an index the account may not create must not
    // undo the ones it may.
    std::string statement;
    for (const char* p = kSetupSql; *p; ++p) {
        if (*p != '\n') {
            statement += *p;
            continue;
        }
        try {
            pqxx::nontransaction tx(*c->conn);
            tx.exec(statement);
        } catch (const std::exception& e) {
            if (setupNote_.empty())
                setupNote_ = "substring search without trigram indexes (" + dbError(e) +
                             "); the database's owner runs the statements in docs/OPERATORS.md";
            if (!c->conn->is_open()) break;
        }
        statement.clear();
    }
    giveBack(std::move(c));
    return true;
}

void PgIndex::locate(const StoreSet& stores) {
    for (const auto& dir : stores.dirs()) {
        {
            std::lock_guard<std::mutex> lock(storesMutex_);
            auto known = nodeOfRoot_.find(dir.root);
            if (known != nodeOfRoot_.end() && !known->second.empty()) continue;
        }
        // A store without index lines yet names no node: asked again next time.
        const std::string node = StoreLines::nodeOf(dir);
        std::lock_guard<std::mutex> lock(storesMutex_);
        nodeOfRoot_[dir.root] = node;
        if (node.empty()) continue;
        const StoreKey key{pgParam(node), pgParam(dir.org)};
        if (storeOfKey_.count(key)) continue;  // two folders of one node: the first one read
        located_.push_back(dir);
        storeOfKey_[key] = static_cast<int>(located_.size());
    }
}

bool PgIndex::place(ConsoleItem& it) {
    {
        std::lock_guard<std::mutex> lock(storesMutex_);
        // An organisation store's row, or else a row of the node's root store
        // (whose lines may name an organisation of their own).
        auto store = storeOfKey_.find({it.node, it.org});
        if (store == storeOfKey_.end()) store = storeOfKey_.find({it.node, ""});
        if (store == storeOfKey_.end()) return false;
        it.storeNo = store->second;
    }
    it.id = ids_.idOf({it.node, it.org, static_cast<int64_t>(it.seq)});
    return it.id != 0;
}

std::string PgIndex::locatedClause(std::vector<std::string>& params) const {
    std::lock_guard<std::mutex> lock(storesMutex_);
    if (storeOfKey_.empty()) return " AND false";
    std::string sql = " AND (false";
    for (const auto& entry : storeOfKey_) {
        params.push_back(entry.first.first);
        sql += " OR (node = $" + std::to_string(params.size());
        if (!entry.first.second.empty()) {
            params.push_back(entry.first.second);
            sql += " AND org = $" + std::to_string(params.size());
        }
        sql += ")";
    }
    return sql + ")";
}

std::string PgIndex::arrivalsSql(const StoreKey& key, std::vector<std::string>& params) const {
    std::lock_guard<std::mutex> lock(storesMutex_);
    params = {key.first};
    std::string sql = " FROM logreport_index WHERE node = $1";
    if (!key.second.empty()) {
        params.push_back(key.second);
        sql += " AND org = $2";
    } else {
        // The root store's rows: those of no organisation store of the node
        // (each store numbers its commands on its own).
        for (const auto& entry : storeOfKey_) {
            if (entry.first.first != key.first || entry.first.second.empty()) continue;
            params.push_back(entry.first.second);
            sql += " AND org <> $" + std::to_string(params.size());
        }
    }
    params.push_back("");  // the last seq seen, set by the caller
    return sql + " AND seq > $" + std::to_string(params.size()) + "::bigint";
}

bool PgIndex::storeDir(int storeNo, StoreDir& out) const {
    std::lock_guard<std::mutex> lock(storesMutex_);
    if (storeNo < 1 || storeNo > static_cast<int>(located_.size())) return false;
    out = located_[static_cast<size_t>(storeNo - 1)];
    return true;
}

bool PgIndex::refresh(const StoreSet& stores, std::vector<ConsoleItem>* added, RefreshStats& stats,
                      std::string& error) {
    locate(stores);
    std::vector<StoreKey> keys;
    {
        std::lock_guard<std::mutex> lock(storesMutex_);
        for (const auto& entry : storeOfKey_) keys.push_back(entry.first);
    }
    auto c = take(error);
    if (!c) return false;
    try {
        pqxx::read_transaction tx(*c->conn);
        for (const auto& key : keys) {
            std::vector<std::string> params;
            const std::string sql = arrivalsSql(key, params);
            auto last = lastSeq_.find(key);
            if (last == lastSeq_.end()) {
                // First sight of a store: what is there is history, not an arrival.
                params.back() = "-1";
                lastSeq_[key] = tx.exec_params("SELECT coalesce(max(seq), 0)" + sql,
                                                pqxx::prepare::make_dynamic_params(params))[0][0].as<int64_t>();
                continue;
            }
            params.back() = std::to_string(last->second);
            const auto rows = tx.exec_params(std::string("SELECT ") + kColumns + sql + " ORDER BY seq LIMIT " +
                                                 std::to_string(kLiveRowsPerRefresh),
                                             pqxx::prepare::make_dynamic_params(params));
            for (const auto& row : rows) {
                ConsoleItem it = itemOfRow(row);
                last->second = static_cast<int64_t>(it.seq);
                if (!place(it)) continue;
                ++stats.added;
                if (added) added->push_back(std::move(it));
            }
        }
    } catch (const std::exception& e) {
        error = dbError(e);
        return false;
    }
    giveBack(std::move(c));
    return true;
}

bool PgIndex::search(const SearchQuery& q, const OrgScope& scope, SearchResult& out, std::string& error) {
    out = SearchResult{};
    Where w;
    if (!scopeClause(scope, w)) return true;
    w.sql += locatedClause(w.params);
    if (!q.org.empty()) w.add("org = ", pgParam(q.org));
    if (!q.meeting.empty()) w.add("conference = ", pgParam(q.meeting));
    if (!q.kind.empty()) w.add("cmd_type = ", q.kind);
    if (!q.node.empty()) w.add("node = ", pgParam(q.node));
    if (!q.from.empty()) w.add("time >= ", q.from, "::timestamptz");
    if (!q.to.empty()) w.add("time < ", q.to, "::timestamptz");
    if (!q.client.empty()) {
        // ILIKE, as the embedded index's trigram match, ignores case; the
        // trigram indexes serve it.
        const std::string pattern = w.next(likePattern(q.client));
        w.sql += " AND (pcid ILIKE " + pattern + " OR nickname ILIKE " + pattern + ")";
    }
    Where page = w;
    if (q.hasCursor) {
        RowKey after;
        if (!ids_.keyOf(q.cursorId, after)) return true;  // a cursor this console never gave
        const std::string t = page.next(q.cursorTime);
        page.sql += " AND (time, node, org, seq) < (" + t + "::timestamptz, " + page.next(after.node) + ", " +
                    page.next(after.org) + ", " + page.next(std::to_string(after.seq)) + "::bigint)";
    }
    auto c = take(error);
    if (!c) return false;
    try {
        pqxx::read_transaction tx(*c->conn);
        const auto rows = tx.exec_params(std::string("SELECT ") + kColumns + " FROM logreport_index" + page.sql +
                                             " ORDER BY time DESC, node DESC, org DESC, seq DESC LIMIT " +
                                             std::to_string(q.limit + 1),
                                         pqxx::prepare::make_dynamic_params(page.params));
        bool more = false;
        for (const auto& row : rows) {
            if (out.items.size() == static_cast<size_t>(q.limit)) {
                more = true;
                break;
            }
            ConsoleItem it = itemOfRow(row);
            if (place(it)) out.items.push_back(std::move(it));
        }
        if (more && !out.items.empty()) out.next = makeCursor(out.items.back().time, out.items.back().id);
        const auto counts = tx.exec_params("SELECT cmd_type, count(*) FROM logreport_index" + w.sql + " GROUP BY cmd_type",
                                           pqxx::prepare::make_dynamic_params(w.params));
        for (const auto& row : counts) out.counts[row[0].as<std::string>()] = row[1].as<int64_t>();
    } catch (const std::exception& e) {
        error = dbError(e);
        return false;
    }
    giveBack(std::move(c));
    return true;
}

bool PgIndex::item(int64_t id, const OrgScope& scope, ConsoleItem& out) {
    RowKey key;
    if (!ids_.keyOf(id, key) || !scope.allows(key.org)) return false;
    std::string error;
    auto c = take(error);
    if (!c) return false;
    try {
        pqxx::read_transaction tx(*c->conn);
        const auto rows = tx.exec_params(std::string("SELECT ") + kColumns +
                                             " FROM logreport_index WHERE node = $1 AND org = $2 AND seq = $3",
                                         key.node, key.org, key.seq);
        if (rows.empty()) return false;
        out = itemOfRow(rows[0]);
    } catch (const std::exception&) {
        return false;
    }
    giveBack(std::move(c));
    StoreDir dir;
    if (!place(out) || !storeDir(out.storeNo, dir)) return false;
    // The rest of the line: where the request's JSON is and the command's
    // bytes in an appended file. A line written just after midnight carries
    // the day before.
    logserver::IndexRecord r;
    const std::string day = out.time.substr(0, 10);
    if (StoreLines::find(dir, day, out.seq, out.node, r) ||
        StoreLines::find(dir, StoreSet::dayAfter(day), out.seq, out.node, r)) {
        out.meta = r.meta;
        out.hasRange = r.hasRange;
        out.offset = r.offset;
        out.length = r.length;
        if (r.hasRange) out.bytes = r.length;
    }
    return true;
}

bool PgIndex::chart(const std::string& client, const OrgScope& scope, const std::string& since, ClientChart& out) {
    out.clear();
    Where w;
    if (!scopeClause(scope, w)) return true;
    w.sql += locatedClause(w.params);
    w.add("pcid = ", pgParam(client));
    w.add("time >= ", since, "::timestamptz");
    std::string error;
    auto c = take(error);
    if (!c) return false;
    try {
        pqxx::read_transaction tx(*c->conn);
        const auto rows = tx.exec_params(
            "SELECT cmd_type, to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24'), count(*) FROM logreport_index" +
                w.sql + " GROUP BY 1, 2",
            pqxx::prepare::make_dynamic_params(w.params));
        for (const auto& row : rows) out[row[0].as<std::string>()][row[1].as<std::string>()] = row[2].as<int64_t>();
    } catch (const std::exception&) {
        return false;
    }
    giveBack(std::move(c));
    return true;
}

}  // namespace console
