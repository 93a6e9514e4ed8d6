#include "pgIndexShipper.h"

#include <pqxx/pqxx>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <iostream>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "indexRecord.h"
#include "shippedDays.h"
#include "storeLayout.h"
#include "tokenRegistry.h"

namespace logserver {

struct PgIndexShipper::Db {
    std::unique_ptr<pqxx::connection> conn;
};

namespace {

const char kInsert[] =
    "INSERT INTO logreport_index (node, seq, time, cmd_id, cmd_type, pcid, nickname, conference, org, peer, "
    "json, compressed_size, inflated_size, path, rejected) VALUES ($1, $2, $3::timestamptz, $4, $5, $6, $7, "
    "$8, $9, $10, $11, $12, $13, $14, $15) ON CONFLICT (node, org, seq) DO NOTHING";

// The rows of one UTC day of one store: its nodes, its organisation ('' for
// the root store).
const char kDeleteDay[] =
    "DELETE FROM logreport_index WHERE node = ANY($1::text[]) AND org = $2 AND "
    "time >= ($3::date)::timestamp AT TIME ZONE 'UTC' AND time < ($3::date + 1)::timestamp AT TIME ZONE 'UTC'";

void logLine(const std::string& text) { std::cerr << "index-db: " << text << std::endl; }

// An error text without the connection string (libpq's own texts name host and
// port, never the password).
std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "unknown error" : line;
}

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t utf8Sequence(const std::string& s, size_t i) {
    const auto b = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    if (len == 2 && c < 0xC2) return 0;                        // overlong
    if (len == 3 && c == 0xE0 && b(i + 1) < 0xA0) return 0;    // overlong
    if (len == 3 && c == 0xED && b(i + 1) >= 0xA0) return 0;   // surrogate
    if (len == 4 && (c > 0xF4 || (c == 0xF0 && b(i + 1) < 0x90) || (c == 0xF4 && b(i + 1) >= 0x90))) return 0;
    return len;
}

// Client texts are bytes in no promised encoding; PostgreSQL text must be
// UTF-8 without NUL. Other bytes become U+FFFD.
std::string pgText(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        size_t len = utf8Sequence(s, i);
        if (len == 0 || s[i] == '\0') {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s, i, len);
            i += len;
        }
    }
    return out;
}

// A text[] literal; each element quoted, with its quotes and backslashes escaped.
std::string pgTextArray(const std::set<std::string>& items) {
    std::string out = "{";
    for (const auto& item : items) {
        if (out.size() > 1) out += ",";
        out += "\"";
        for (char c : pgText(item)) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += "\"";
    }
    return out + "}";
}

std::string cursorPath(const std::string& dir, const std::string& node) { return dir + "/index.pgcursor." + node; }

// How far the index days are shipped: "<day> <offset>". A cursor of the
// single index file of older stores (a bare number) starts again at the
// first day; the table's key makes the repeated rows no-ops.
struct Cursor {
    std::string day;
    uint64_t offset = 0;
};

Cursor readCursor(const std::string& dir, const std::string& node) {
    std::ifstream in(cursorPath(dir, node));
    Cursor c;
    unsigned long long offset = 0;
    if (!(in >> c.day >> offset) || !StoreLayout::isDay(c.day)) return {};
    c.offset = offset;
    return c;
}

// The index days of a store, oldest first.
std::vector<std::string> indexDays(const std::string& dir) {
    std::set<std::string> days;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir + "/" + StoreLayout::kIndexDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string day = StoreLayout::dayOfIndexFile(it->path().filename().string());
        if (!day.empty()) days.insert(day);
    }
    return {days.begin(), days.end()};
}

// Written aside and renamed over the old one, so a crash leaves either cursor.
bool writeCursor(const std::string& dir, const std::string& node, const Cursor& cursor) {
    const std::string path = cursorPath(dir, node);
    const std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::string text = cursor.day + " " + std::to_string(cursor.offset) + "\n";
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

std::string PgIndexShipper::createTableSql() {
    return "CREATE TABLE IF NOT EXISTS logreport_index ("
           "node text NOT NULL, seq bigint NOT NULL, time timestamptz, cmd_id integer NOT NULL, "
           "cmd_type text NOT NULL, pcid text NOT NULL, nickname text NOT NULL, conference text NOT NULL, "
           "org text NOT NULL, peer text NOT NULL, json text NOT NULL, compressed_size bigint NOT NULL, "
           "inflated_size bigint NOT NULL, path text NOT NULL, rejected text NOT NULL, "
           "PRIMARY KEY (node, org, seq))";
}

// The old key lets the first organisation's row hide every other
// organisation's row of the same node and number. Existing rows are unique on
// node and seq, so they are unique on the wider key too. Two servers
// migrating at once: the second's ALTER waits for the first and repeats it.
std::string PgIndexShipper::migrateTableSql() {
    return "DO $$ DECLARE pk record; BEGIN "
           "SELECT conname, pg_get_constraintdef(oid) AS def INTO pk FROM pg_constraint "
           "WHERE conrelid = 'logreport_index'::regclass AND contype = 'p'; "
           "IF NOT FOUND OR pk.def <> 'PRIMARY KEY (node, org, seq)' THEN "
           "IF FOUND THEN EXECUTE format('ALTER TABLE logreport_index DROP CONSTRAINT IF EXISTS %I', pk.conname); "
           "END IF; "
           "ALTER TABLE logreport_index ADD PRIMARY KEY (node, org, seq); "
           "END IF; END $$";
}

std::string PgIndexShipper::withConnectTimeout(const std::string& conninfo, int seconds) {
    if (conninfo.find("connect_timeout") != std::string::npos) return conninfo;
    const std::string setting = "connect_timeout=" + std::to_string(seconds);
    bool uri = conninfo.rfind("postgresql://", 0) == 0 || conninfo.rfind("postgres://", 0) == 0;
    if (!uri) return conninfo.empty() ? setting : conninfo + " " + setting;
    return conninfo + (conninfo.find('?') == std::string::npos ? "?" : "&") + setting;
}

PgIndexShipper::PgIndexShipper(std::string storeRoot, std::string node, std::string conninfo, PgShipperOptions options)
    : root_(std::move(storeRoot)),
      node_(std::move(node)),
      conninfo_(withConnectTimeout(conninfo, options.connectTimeoutS)),
      options_(options) {}

PgIndexShipper::~PgIndexShipper() { stop(); }

void PgIndexShipper::start() {
    if (thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void PgIndexShipper::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void PgIndexShipper::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    cv_.notify_all();
}

void PgIndexShipper::waitFor(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_ || woken_; });
    woken_ = false;
}

void PgIndexShipper::run() {
    Db db;
    db_ = &db;
    int pauseMs = options_.pollMs;
    bool wasDown = false;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
        }
        bool more = false;
        if (shipOnce(more)) {
            if (wasDown) logLine("database reachable again");
            wasDown = false;
            pauseMs = options_.pollMs;
            if (more) continue;
            waitFor(options_.pollMs);
        } else {
            wasDown = true;
            db.conn.reset();
            waitFor(pauseMs);
            pauseMs = std::min(pauseMs * 2, options_.retryMaxMs);
        }
    }
    db_ = nullptr;
}

std::vector<PgIndexShipper::Journal> PgIndexShipper::journals() const {
    std::vector<Journal> list{{root_, ""}};
    if (!options_.organisationStores) return list;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code statError;
        if (!TokenRegistry::validOrganisation(name) || !it->is_directory(statError)) continue;
        if (std::filesystem::exists(it->path() / StoreLayout::kIndexDir, statError))
            list.push_back({it->path().string(), name});
    }
    return list;
}

// A failed connection is dropped by run(), so the table is checked again at
// the next one.
void PgIndexShipper::connect() {
    if (db_->conn) return;
    db_->conn = std::make_unique<pqxx::connection>(conninfo_);
    pqxx::work ddl(*db_->conn);
    ddl.exec(createTableSql());
    ddl.exec(migrateTableSql());
    ddl.commit();
}

bool PgIndexShipper::shipOnce(bool& more) {
    more = false;
    for (const auto& journal : journals()) {
        bool full = false;
        if (!shipJournal(journal, full)) return false;
        more = more || full;
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) break;
    }
    return true;
}

// Days listed as shipped that the store no longer has (retention, quota):
// their rows go, then the day leaves the list.
bool PgIndexShipper::dropGoneDays(const Journal& journal, ShippedDays& listed, const std::vector<std::string>& present) {
    std::vector<std::string> gone;
    for (const auto& day : listed.days())
        if (!std::binary_search(present.begin(), present.end(), day.first)) gone.push_back(day.first);
    if (gone.empty()) return true;
    const std::string where = journal.organisation.empty() ? "" : " of " + journal.organisation;
    for (const auto& day : gone) {
        const std::string nodes = pgTextArray(listed.days().at(day));
        try {
            connect();
            pqxx::work tx(*db_->conn);
            const auto result = tx.exec_params(kDeleteDay, nodes, pgText(journal.organisation), day);
            tx.commit();
            logLine("dropped " + std::to_string(result.affected_rows()) + " rows of " + day + where +
                    ": the day is gone from the store");
        } catch (const std::exception& e) {
            logLine("rows of " + day + where + " not dropped, will retry: " + firstLine(e.what()));
            return false;
        }
        listed.remove(day);
        if (!listed.save()) logLine("cannot write the shipped days" + where + "; the drop is repeated at the next pass");
    }
    return true;
}

bool PgIndexShipper::shipJournal(const Journal& journal, bool& more) {
    more = false;
    Cursor shipped = readCursor(journal.dir, node_);
    const std::vector<std::string> present = indexDays(journal.dir);
    ShippedDays listed(journal.dir, node_);
    if (!listed.load()) {
        // Shipped before days were listed: what the cursor passed has rows.
        for (const auto& day : present)
            if (!shipped.day.empty() && day <= shipped.day) listed.add(day, node_);
        if (!listed.save()) logLine("cannot write the shipped days");
    }
    if (!dropGoneDays(journal, listed, present)) return false;
    // The first day with lines not shipped yet; a day is left for the next
    // only once that one exists, so no line of it can still come.
    std::ifstream in;
    uint64_t cursor = 0;
    for (const std::string& day : present) {
        if (!shipped.day.empty() && day < shipped.day) continue;
        cursor = day == shipped.day ? shipped.offset : 0;
        in = std::ifstream(journal.dir + "/" + StoreLayout::indexDay(day), std::ios::binary);
        in.seekg(0, std::ios::end);
        const uint64_t size = in ? static_cast<uint64_t>(in.tellg()) : 0;
        if (size > cursor) {
            shipped = {day, cursor};
            break;
        }
        in.close();
    }
    if (!in.is_open()) return true;  // nothing new
    in.seekg(static_cast<std::streamoff>(cursor));

    const std::string where = journal.organisation.empty() ? "" : " of " + journal.organisation;
    std::vector<IndexRecord> batch;
    uint64_t offset = cursor;
    std::string line;
    while (static_cast<int>(batch.size()) < options_.batchLines && std::getline(in, line)) {
        if (in.eof()) break;  // no line end yet: the writer is still at it
        offset += line.size() + 1;
        IndexRecord r;
        if (parseIndexLine(line, r)) {
            if (r.node.empty()) r.node = node_;  // lines written before nodes had names
            // The folder says whose row it is, whatever the line holds.
            if (!journal.organisation.empty()) r.org = journal.organisation;
            batch.push_back(std::move(r));
        } else if (!line.empty()) {
            logLine("skipping a damaged index line" + where + " at byte " + std::to_string(offset - line.size() - 1));
        }
    }
    if (offset == cursor) return true;
    more = static_cast<int>(batch.size()) >= options_.batchLines;
    // Listed before any row of the day exists, so that its rows can go with it.
    bool listChanged = false;
    for (const auto& r : batch) listChanged = listed.add(shipped.day, r.node) || listChanged;
    if (listChanged && !listed.save()) {
        logLine("cannot write the shipped days" + where + "; not shipped, will retry");
        return false;
    }
    try {
        connect();
        pqxx::work tx(*db_->conn);
        for (const auto& r : batch) {
            tx.exec_params(kInsert, pgText(r.node), static_cast<long long>(r.seq),
                           r.time.empty() ? std::string("epoch") : r.time, r.cmdId, pgText(r.cmdType),
                           pgText(r.pcid), pgText(r.nickname), pgText(r.conference), pgText(r.org), pgText(r.peer),
                           pgText(r.json), static_cast<long long>(r.compressedSize),
                           static_cast<long long>(r.inflatedSize), pgText(r.path), pgText(r.rejected));
        }
        tx.commit();
    } catch (const std::exception& e) {
        logLine("not shipped, will retry: " + firstLine(e.what()));
        return false;
    }
    rowsShipped_ += batch.size();
    if (!writeCursor(journal.dir, node_, {shipped.day, offset}))
        logLine("cannot write the shipping cursor" + where + "; rows will be offered again");
    return true;
}

}  // namespace logserver
