// EmbeddedIndex: the console's own SQLite index of the stores' index days,
// kept in the state folder (never inside a store: the stores are only read).
//
// refresh() reads each store's index/<day>.jsonl from where its cursor stopped,
// complete lines only, so a line the server is still writing is read next
// time; a day the server's retention removed is dropped with its items.
// Client substrings are searched among the distinct names through an FTS5
// trigram table, and the items of the names found through plain indexes.
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

#include "searchIndex.h"

namespace console {

class EmbeddedIndex : public SearchIndex {
public:
    EmbeddedIndex();
    ~EmbeddedIndex();
    EmbeddedIndex(const EmbeddedIndex&) = delete;
    EmbeddedIndex& operator=(const EmbeddedIndex&) = delete;

    // Opens or creates <stateDir>/index.sqlite.
    bool open(const std::string& stateDir, std::string& error);

    // Brings the index up to date from each store's index days.
    bool refresh(const StoreSet& stores, std::vector<ConsoleItem>* added, RefreshStats& stats,
                 std::string& error) override;
    bool search(const SearchQuery& q, const OrgScope& scope, SearchResult& out, std::string& error) override;
    bool item(int64_t id, const OrgScope& scope, ConsoleItem& out) override;
    bool chart(const std::string& client, const OrgScope& scope, const std::string& since, ClientChart& out) override;
    // Among the stores the last refresh read.
    bool storeDir(int storeNo, StoreDir& out) const override;

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
    bool indexesDeferred_ = false;  // an empty index: its first refresh makes them
    std::mutex readersMutex_;
    std::vector<std::unique_ptr<Reader>> readers_;
};

}  // namespace console
