// ShippedDays: the index days of a store that have rows in the PostgreSQL
// index, with the node names those rows carry: <store>/index.pgdays.<node>,
// one line per day, "<day> <node> <node> ...".
//
// The shipper lists a day before its first rows are inserted, and takes it
// off only after the rows of a day that is gone from the store (retention,
// quota) were deleted. A crash between a day's deletion from the store and the
// deletion of its rows leaves the day listed, so the next pass deletes them.
//
// Thread rules: one owner (the shipper's thread).
#pragma once

#include <map>
#include <set>
#include <string>

namespace logserver {

class ShippedDays {
public:
    ShippedDays(std::string storeDir, const std::string& node);

    // False when the file does not exist yet (a store shipped before days
    // were listed); a damaged line is skipped.
    bool load();
    // Written aside and renamed: a crash leaves the old list or the new.
    bool save() const;

    // True when the day or the node was new: the list must be saved before
    // rows of it are inserted.
    bool add(const std::string& day, const std::string& node);
    void remove(const std::string& day) { days_.erase(day); }
    const std::map<std::string, std::set<std::string>>& days() const { return days_; }

private:
    std::string path_;
    std::map<std::string, std::set<std::string>> days_;
};

}  // namespace logserver
