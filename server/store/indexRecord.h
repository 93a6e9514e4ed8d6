// IndexRecord: one line of a store's index.jsonl read back, with the client's
// identity (PC id, nickname, conference, organisation) taken from the line's
// own fields when it has them, or else from what the command carried (the
// detail file name, the dump's or report's info, the error-log file name).
//
// Used by the PostgreSQL index shipper and by logreport-query, so both read a
// line the same way.
#pragma once

#include <cstdint>
#include <string>

namespace logserver {

struct IndexRecord {
    uint64_t seq = 0;
    std::string node;
    std::string time;  // "YYYY-MM-DDTHH:MM:SS.mmmZ"
    std::string peer;
    int cmdId = 0;
    std::string cmdType;
    std::string pcid;
    std::string nickname;
    std::string conference;  // decimal text, empty when unknown
    std::string org;
    std::string json;      // inline only in lines of stores written before meta/ existed
    std::string meta;      // where the request's JSON is: "meta/<day>.log:<offset>:<length>", or a file of its own in older stores
    // The command's bytes inside an appended file (an error log's day file,
    // a detail file): hasRange is false for a command stored in a file of its own.
    bool hasRange = false;
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t compressedSize = 0;
    uint64_t inflatedSize = 0;
    std::string path;      // relative to the store's root
    std::string rejected;  // empty unless quarantined
};

// A reference to bytes inside a file of the store: "<path>:<offset>:<length>".
struct ByteRangeRef {
    std::string path;  // relative to the store's root
    uint64_t offset = 0;
    uint64_t length = 0;
};

// False when `ref` is not "<path>:<offset>:<length>" with decimal numbers (an
// older store's plain file name, for instance).
bool parseByteRangeRef(const std::string& ref, ByteRangeRef& out);

// False for a line that is not a complete index object (cut short by a crash,
// damaged): the caller skips it.
bool parseIndexLine(const std::string& line, IndexRecord& out);

// The command type's name for a command id ("reportLog" for 11047, ...), or
// the id as text.
std::string commandName(int cmdId);

}  // namespace logserver
