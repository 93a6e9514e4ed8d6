// ItemIdMap: the console's own numbers for rows of the fleet's shared table,
// whose key is (node, organisation, seq). Pages and scripts name an item by
// one opaque number; the map keeps it in the state folder, so a bookmarked
// page still opens after a restart.
//
// Thread rules: any thread; one mutex guards the connection.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace console {

struct RowKey {
    std::string node;
    std::string org;
    int64_t seq = 0;
};

class ItemIdMap {
public:
    ItemIdMap() = default;
    ~ItemIdMap();
    ItemIdMap(const ItemIdMap&) = delete;
    ItemIdMap& operator=(const ItemIdMap&) = delete;

    // Opens or creates <stateDir>/pg-ids.sqlite.
    bool open(const std::string& stateDir, std::string& error);
    // The row's number, given on first sight; 0 when the map cannot be written.
    int64_t idOf(const RowKey& key);
    // False for a number the map never gave.
    bool keyOf(int64_t id, RowKey& out);

private:
    void close();

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* find_ = nullptr;
    sqlite3_stmt* key_ = nullptr;
};

}  // namespace console
