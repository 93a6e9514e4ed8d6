// EmbeddedIndex: the console's own SQLite index of the stores' index days,
// kept in the state folder (never inside a store: the stores are only read).
//
// refresh() reads each store's index/<day>.jsonl from where its cursor stopped,
// complete lines only, so a line the server is still writing is read next
// time; a day the server's retention removed is dropped with its items.
// Client substrings are searched through an FTS5 trigram table.
//
// Thread rules: refresh() from one thread at a time (the console's refresher);
// search(), item() and chart() from any thread, each on a reader connection
// of its own.
#pragma once

#include <sqlite3.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "consoleItem.h"
#include "searchQuery.h"
#include "storeSet.h"

namespace console {

// What an operator may see: every organisation, or the ones listed.
struct OrgScope {
    bool all = false;
    std::vector<std::string> orgs;
    bool allows(const std::string& org) const;
};

struct SearchResult {
    std::vector<ConsoleItem> items;
    std::string next;  // cursor of the following page, empty at the end
    std::map<std::string, int64_t> counts;
};

// Uploads per kind per hour, "YYYY-MM-DDTHH" to count.
using ClientChart = std::map<std::string, std::map<std::string, int64_t>>;

class EmbeddedIndex {
public:
    EmbeddedIndex();
    ~EmbeddedIndex();
    EmbeddedIndex(const EmbeddedIndex&) = delete;
    EmbeddedIndex& operator=(const EmbeddedIndex&) = delete;

    // Opens or creates <stateDir>/index.sqlite.
    bool open(const std::string& stateDir, std::string& error);

    struct RefreshStats {
        int64_t added = 0;
        int64_t damaged = 0;     // lines that are not index records
        int64_t droppedDays = 0;
    };
    // Brings the index up to date; `added` receives the new items.
    bool refresh(const StoreSet& stores, std::vector<ConsoleItem>* added, RefreshStats& stats, std::string& error);

    bool search(const SearchQuery& q, const OrgScope& scope, SearchResult& out, std::string& error);
    // False when there is no such item or the scope does not reach it.
    bool item(int64_t id, const OrgScope& scope, ConsoleItem& out);
    bool chart(const std::string& client, const OrgScope& scope, const std::string& since, ClientChart& out);
    // The store an item's storeNo names, among those the last refresh read.
    bool storeDir(int storeNo, StoreDir& out) const;

private:
    struct Reader;
    std::unique_ptr<Reader> takeReader();
    void giveBack(std::unique_ptr<Reader> r);
    bool refreshDay(sqlite3_int64 storeId, const StoreDir& dir, const std::string& day, uint64_t size,
                    std::vector<ConsoleItem>* added, RefreshStats& stats, std::string& error);
    sqlite3_int64 storeIdOf(const std::string& root, std::string& error);

    // Only stores the console was started with are searched: the state
    // folder may remember others from earlier runs.
    std::string activeClause() const;

    std::string path_;
    mutable std::mutex activeMutex_;
    std::map<int, StoreDir> active_;  // index's store id to the folder
    sqlite3* writer_ = nullptr;
    std::mutex readersMutex_;
    std::vector<std::unique_ptr<Reader>> readers_;
};

}  // namespace console
