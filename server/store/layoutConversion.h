// LayoutConversion: brings a store written before index days existed to the
// day layout (storeLayout.h), at start, before the server listens.
//
// The earlier layout:
//   index.jsonl                 every command's line, in order of storing
//   meta/<seq>.json             each request's JSON in a file of its own
//   meta/.spare-*, pending/     empty files made ahead, and a record per
//                               append not yet confirmed ("<size> <path>")
//   errlog/<client>.log         one error log per client, appended for ever
//   index.pgcursor.<node>       bytes of index.jsonl shipped to PostgreSQL
//
// What the conversion does, in three phases:
//   1. repair, as the earlier server's own start did: a torn last index line
//      is cut, appends of unconfirmed commands (pending/) are cut back;
//   2. build, under <store>/layout-conversion/: the index split by the day of
//      each line's time, each meta file appended to its day's meta log (the
//      line's "meta" rewritten to "meta/<day>.log:<offset>:<length>"), the byte
//      range of each command in its appended file added as "offset"/"length",
//      error logs planned to move to errlog/<client>/<day of its newest line>.log,
//      and the shipping cursors mapped to the day and offset of the first line
//      not shipped. Nothing outside the folder is touched; a kill here throws
//      the folder away at the next start;
//   3. commit, once the built files are durable and the marker
//      <store>/layout-conversion.commit exists: renames into place, then
//      removal of the old files. Every step can be done again, so a kill here
//      is finished by the next start.
//
// Thread rules: one conversion of a store at a time, before anything else
// opens it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace logserver {

class LayoutConversion {
public:
    using Log = std::function<void(const std::string&)>;
    enum class Status {
        NothingToDo,  // already in the day layout
        Converted,
        Stopped,  // stopAfterSteps reached (tests of kills)
        Failed,
    };

    static constexpr const char* kWorkDir = "layout-conversion";
    static constexpr const char* kCommitMarker = "layout-conversion.commit";
    // Progress is logged every this many index lines.
    static constexpr uint64_t kProgressLines = 100000;

    LayoutConversion(std::string root, Log log);
    LayoutConversion(const LayoutConversion&) = delete;
    LayoutConversion& operator=(const LayoutConversion&) = delete;

    // Stops, as a kill would, before the (n+1)-th change on disk; 0 never.
    void stopAfterSteps(uint64_t n) { stopAfter_ = n; }
    uint64_t steps() const { return steps_; }

    Status run(std::string& error);

    // For tests: a stop as a kill would (after n changes on disk in all,
    // 0 never), and without flushes (a stop loses nothing a flush would keep).
    struct Testing {
        uint64_t stopAfterSteps = 0;
        bool sync = true;
    };

    // The store at root and, with organisations, every organisation store
    // beneath it, in name order. Stops at the first that fails or stops.
    static Status convertAll(const std::string& root, bool organisations, const Log& log, std::string& error);
    static Status convertAll(const std::string& root, bool organisations, const Log& log, std::string& error,
                             const Testing& testing);

private:
    // What pass one learns of an appended file (an error log, a detail log).
    struct AppendedFile {
        uint64_t expected = 0;  // sum of the lengths of its commands
        uint64_t written = 0;   // running offset in pass two
        std::string newestDay;
        std::string movedTo;  // error logs: where the file goes
        bool rangesKnown = false;
    };
    struct Cursor {
        uint64_t oldOffset = 0;
        std::string day;
        uint64_t offset = 0;
        bool placed = false;
    };

    bool step();
    bool repair(std::string& error);
    bool cutTornLine(std::string& error);
    bool undoPending(std::string& error);
    bool build(std::string& error);
    bool scanAppends(uint64_t& lines, std::string& firstDay, std::string& error);
    void planErrlogMoves();
    void readOldCursors();
    bool splitIndex(uint64_t lines, const std::string& firstDay, std::string& error);
    std::string convertLine(rapidjson::Document& doc, const std::string& day);
    bool writePlan(std::string& error);
    bool commit(std::string& error);
    bool moveIntoPlace(const std::string& from, const std::string& to, std::string& error);
    bool removeOldFiles(std::string& error);

    std::string path(const std::string& rel) const { return root_ + "/" + rel; }

    const std::string root_;
    const Log log_;
    uint64_t stopAfter_ = 0;
    uint64_t steps_ = 0;
    bool sync_ = true;
    std::map<std::string, AppendedFile> appended_;
    std::map<std::string, Cursor> cursors_;  // by node
    class StagedDays;
    StagedDays* staged_ = nullptr;  // during splitIndex only
    uint64_t metaFiles_ = 0;
    uint64_t metaMissing_ = 0;
    std::vector<std::string> days_;
};

}  // namespace logserver
