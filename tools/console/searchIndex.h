// SearchIndex: where the console finds items. Two homes give the same
// answers: the console's own SQLite index of the stores (EmbeddedIndex), or
// the fleet's shared PostgreSQL table that the servers fill (PgIndex). Files
// are read from the stores either way.
//
// Thread rules: refresh() from one thread at a time (the console's
// refresher); search(), item(), chart() and storeDir() from any thread.
#pragma once

#include <cstdint>
#include <map>
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

class SearchIndex {
public:
    virtual ~SearchIndex() = default;

    struct RefreshStats {
        int64_t added = 0;
        int64_t damaged = 0;     // lines that are not index records
        int64_t droppedDays = 0;
    };
    // Catches up with what arrived since the last call; `added` receives the
    // new items (for the live view).
    virtual bool refresh(const StoreSet& stores, std::vector<ConsoleItem>* added, RefreshStats& stats,
                         std::string& error) = 0;
    virtual bool search(const SearchQuery& q, const OrgScope& scope, SearchResult& out, std::string& error) = 0;
    // False when there is no such item or the scope does not reach it.
    virtual bool item(int64_t id, const OrgScope& scope, ConsoleItem& out) = 0;
    virtual bool chart(const std::string& client, const OrgScope& scope, const std::string& since, ClientChart& out) = 0;
    // The store an item's storeNo names.
    virtual bool storeDir(int storeNo, StoreDir& out) const = 0;
};

}  // namespace console
