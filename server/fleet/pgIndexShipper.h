// PgIndexShipper: copies the store's index days (index/<day>.jsonl) into one
// PostgreSQL table that every server of a fleet shares, on its own thread.
//
// The index days stay the server's durable record: an upload is answered once
// its line is there, and never waits for the database. The shipper reads the
// days from a durable cursor (<store>/index.pgcursor.<node>: the day and the
// byte offset in it shipped so far), inserts complete lines in batches and moves the cursor only
// after the batch is committed. Inserts are idempotent (unique on node,
// organisation and seq), so a crash between commit and cursor write only
// repeats rows that the table ignores. While the database is unreachable it
// retries with a growing pause and ships everything once the database is back.
//
// With organisation stores (the server's --tokens), every <store>/<ORG>/ is a
// store of its own with its own index days and its own cursor beside it; its
// rows carry the organisation in the org column. Each organisation numbers its
// commands from 1, so the table's key includes the organisation. The folders
// are looked for at every pass, so an organisation whose first upload comes
// after the start (a tokens file reloaded) is shipped too.
//
// Days the store no longer has (deleted by --retain or a quota) lose their
// rows: the shipper lists the days it shipped, with the node names of their
// rows (shippedDays.h), and at each pass deletes the rows of listed days that
// are gone, by node, organisation and UTC day, before taking the day off the
// list. A server killed between the two catches up at its next start.
//
// The connection string is never logged: it may hold a password.
//
// Thread rules: start() and stop() from one thread; wake() from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace logserver {

class ShippedDays;

struct PgShipperOptions {
    int pollMs = 200;          // how often the journal is looked at when not woken
    int retryMaxMs = 5000;     // longest pause between attempts while the database is away
    int batchLines = 500;      // lines per transaction
    int connectTimeoutS = 5;   // added to the connection string unless it sets one
    // The root's subfolders named like organisations are organisation stores.
    bool organisationStores = false;
};

class PgIndexShipper {
public:
    PgIndexShipper(std::string storeRoot, std::string node, std::string conninfo, PgShipperOptions options = {});
    ~PgIndexShipper();
    PgIndexShipper(const PgIndexShipper&) = delete;
    PgIndexShipper& operator=(const PgIndexShipper&) = delete;

    void start();
    // Stops the thread; what is not shipped yet goes at the next start.
    void stop();
    // A line was appended: look at the journal now.
    void wake();

    uint64_t rowsShipped() const { return rowsShipped_; }

    // The table, created when missing; exposed for the query tool and tests.
    static const char* tableName() { return "logreport_index"; }
    static std::string createTableSql();
    // Brings a table created by an earlier version, keyed on node and seq
    // alone, to the key on node, org and seq; does nothing on a current one.
    static std::string migrateTableSql();
    // conninfo with a connect timeout, so that a dead host cannot hold stop().
    static std::string withConnectTimeout(const std::string& conninfo, int seconds);

private:
    // One store's index days to ship: the root store's, or an organisation's.
    struct Journal {
        std::string dir;
        std::string organisation;  // empty for the root store
    };

    void run();
    bool shipOnce(bool& more);  // false: the database failed, retry later
    bool shipJournal(const Journal& journal, bool& more);
    bool dropGoneDays(const Journal& journal, ShippedDays& listed, const std::vector<std::string>& present);
    std::vector<Journal> journals() const;
    void connect();
    void waitFor(int ms);

    std::string root_;
    std::string node_;
    std::string conninfo_;
    PgShipperOptions options_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopping_ = false;
    bool woken_ = false;
    std::atomic<uint64_t> rowsShipped_{0};
    struct Db;
    Db* db_ = nullptr;  // owned; lives on the shipper thread
};

}  // namespace logserver
