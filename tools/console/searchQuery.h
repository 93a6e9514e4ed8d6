// SearchQuery: the parameters of a search as a request gives them, checked.
// Everything here comes from the network: each field is bounded, times and
// kinds must be what they claim, and a failure says which parameter was wrong.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace console {

struct SearchQuery {
    std::string org;
    std::string client;   // substring of PC id, nickname or name
    std::string meeting;  // exact meeting (conference) id
    std::string kind;     // an index cmdType, or empty
    std::string node;
    std::string from;     // normalised UTC time, inclusive
    std::string to;       // normalised UTC time, exclusive
    bool hasCursor = false;
    std::string cursorTime;  // newest first: items older than (cursorTime, cursorId)
    int64_t cursorId = 0;
    int limit = 0;
};

// Looks a parameter up by name; an absent parameter is an empty string.
using ParamLookup = std::function<std::string(const char* name)>;

// False with `error` naming the bad parameter.
bool parseSearchQuery(const ParamLookup& param, SearchQuery& out, std::string& error);

// "2026-12-06", "2026-12-06T05:00", "2026-12-06 05:00:07.5Z" ... into the
// index's fixed-width form "2026-12-06T05:00:07.500Z"; false for anything else.
bool normalizeUtcTime(const std::string& text, std::string& out);

// An item id as a request names it: decimal, positive, no sign, no padding.
bool parseItemId(const std::string& text, int64_t& out);

// The opaque text that continues a search after the given item, and back.
std::string makeCursor(const std::string& time, int64_t id);
bool parseCursor(const std::string& text, std::string& time, int64_t& id);

// True for the command types an index holds.
bool isKnownKind(const std::string& kind);

}  // namespace console
