// StoreSet: the store folders the console reads, each with the organisation
// stores beneath it (<root>/<ORGANISATION>/ with the same layout). Only ever
// read; a path the index names is kept inside its store.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace console {

struct StoreDir {
    std::string root;  // absolute folder holding index/, meta/, errlog/ ...
    std::string org;   // the organisation of an organisation store, or empty
};

class StoreSet {
public:
    // The folders named on the command line; organisation stores are found
    // again by rescan(), since the server creates them as tokens arrive.
    explicit StoreSet(std::vector<std::string> roots);
    // May be called from any thread.
    void rescan();
    std::vector<StoreDir> dirs() const;

    // <root>/<rel> when rel stays inside the store (relative, no "..", no NUL).
    static bool resolve(const StoreDir& dir, const std::string& rel, std::string& out);
    // "2026-12-06": a day as index files are named.
    static bool isDay(const std::string& text);
    // The day after a day ("2026-12-31" gives "2027-01-01"), or "" for a non-day.
    static std::string dayAfter(const std::string& day);
    // The index days of a store, oldest first ("2026-12-06").
    static std::vector<std::string> indexDays(const StoreDir& dir);

private:
    std::vector<std::string> roots_;
    mutable std::mutex mutex_;
    std::vector<StoreDir> dirs_;
};

}  // namespace console
