// ConsoleItem: one command as the console shows it, the index line's fields
// plus where its bytes lie. `id` is the console's own number for it: opaque to
// pages and scripts, and never a path.
#pragma once

#include <cstdint>
#include <string>

namespace console {

struct ConsoleItem {
    int64_t id = 0;
    int storeNo = 0;  // which of the console's stores holds the files
    uint64_t seq = 0;
    std::string node;
    std::string org;
    std::string cmdType;
    std::string time;  // "YYYY-MM-DDTHH:MM:SS.mmmZ"
    std::string client;  // PC id, or the client name as sent
    std::string nickname;
    std::string meeting;
    std::string path;  // relative to the store's root, as the index gives it
    uint64_t bytes = 0;
    bool hasRange = false;  // the command's bytes are [offset, offset+length) of an appended file
    uint64_t offset = 0;
    uint64_t length = 0;
    std::string meta;
    std::string rejected;
};

// The client an item is shown under: its PC id, or for an error log sent
// without one, its folder (the client's name as the server stored it).
inline std::string clientOf(const std::string& pcid, const std::string& path) {
    if (!pcid.empty() || path.compare(0, 7, "errlog/") != 0) return pcid;
    const size_t slash = path.find('/', 7);
    return slash == std::string::npos ? pcid : path.substr(7, slash - 7);
}

}  // namespace console
