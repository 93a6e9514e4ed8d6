// PgIndex: searches the fleet's shared PostgreSQL table (logreport_index,
// filled by every server's index shipper) instead of the console's own
// index. The files are still read from the --store folders: a row's node,
// read from each store's index lines, and its organisation find the folder.
//
// The table keeps less than an index line (no reference to the request's
// JSON, no byte range of an appended command): an item that is opened is
// completed from its line in the store's index day.
//
// Substring search of client names uses pg_trgm's GIN indexes; open() creates
// the extension and the indexes when the account may, and otherwise says
// what the database's owner has to run (setupSql()).
//
// Live arrivals: each refresh asks, per store folder, for the rows of its
// node (and organisation, for an organisation store) numbered beyond the
// last one seen; the table's key serves that.
//
// Thread rules: as SearchIndex; each call takes a connection of a small pool.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "itemIdMap.h"
#include "searchIndex.h"

namespace console {

class PgIndex : public SearchIndex {
public:
    PgIndex();
    ~PgIndex();
    PgIndex(const PgIndex&) = delete;
    PgIndex& operator=(const PgIndex&) = delete;

    // Connects (the connection string is never shown in a message), checks
    // the table, sets up the trigram indexes when permitted; the item
    // numbers go to <stateDir>.
    bool open(const std::string& conninfo, const std::string& stateDir, std::string& error);
    // What open() could not set up, for the operator's log; empty when all is there.
    const std::string& setupNote() const { return setupNote_; }
    // The statements the database's owner runs once for fast substring search.
    static const char* setupSql();

    bool refresh(const StoreSet& stores, std::vector<ConsoleItem>* added, RefreshStats& stats,
                 std::string& error) override;
    bool search(const SearchQuery& q, const OrgScope& scope, SearchResult& out, std::string& error) override;
    bool item(int64_t id, const OrgScope& scope, ConsoleItem& out) override;
    bool chart(const std::string& client, const OrgScope& scope, const std::string& since, ClientChart& out) override;
    bool storeDir(int storeNo, StoreDir& out) const override;

private:
    struct Connection;
    using StoreKey = std::pair<std::string, std::string>;  // node, organisation

    std::unique_ptr<Connection> take(std::string& error);
    void giveBack(std::unique_ptr<Connection> c);
    void locate(const StoreSet& stores);
    // Gives the row its console number and its store; false when no store
    // folder holds it.
    bool place(ConsoleItem& it);
    // The rows the located stores hold, its values appended to params.
    std::string locatedClause(std::vector<std::string>& params) const;
    // " FROM ... WHERE ...": the rows of one store after a seq (the last
    // parameter, set by the caller).
    std::string arrivalsSql(const StoreKey& key, std::vector<std::string>& params) const;

    std::string conninfo_;
    std::string setupNote_;
    ItemIdMap ids_;

    mutable std::mutex storesMutex_;
    std::vector<StoreDir> located_;          // storeNo - 1
    std::map<std::string, std::string> nodeOfRoot_;
    std::map<StoreKey, int> storeOfKey_;
    std::map<StoreKey, int64_t> lastSeq_;    // refresher thread only

    std::mutex poolMutex_;
    std::vector<std::unique_ptr<Connection>> pool_;
};

}  // namespace console
