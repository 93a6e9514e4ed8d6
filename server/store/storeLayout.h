// StoreLayout: where things are in a store folder, in one place.
//
//   index/<YYYY-MM-DD>.jsonl         one line per command, by UTC day of arrival
//                                    (storeIndex.h); "offset"/"length" give the
//                                    command's bytes in an appended file
//   meta/<YYYY-MM-DD>.log            each request's JSON as received, back to
//                                    back; the index line's "meta" is
//                                    "meta/<day>.log:<offset>:<length>"
//   errlog/<client>/<YYYY-MM-DD>.log error logs, appended per UTC day
//   detail/<folder>/<name>           detail logs, appended (the client's names
//                                    carry the day)
//   dumps/<client>/<seq>.dmp         crash dumps, with <seq>.json (the dump's info)
//   reports/<seq>/                   user reports: report.json, attachments/
//   rejected/<seq>/                  malformed commands: request.json, data.bin, reason.txt
//   journal/<node>/                  this node's write-ahead journal (journal.h)
//   seq.reserved                     sequence numbers handed out so far
//
// A day is "YYYY-MM-DD", the first ten characters of an index line's time.
#pragma once

#include <string>

namespace logserver {

class StoreLayout {
public:
    static constexpr const char* kIndexDir = "index";
    static constexpr const char* kMetaDir = "meta";
    static constexpr const char* kErrlogDir = "errlog";
    static constexpr const char* kJournalDir = "journal";
    static constexpr const char* kSeqFile = "seq.reserved";
    // The index of stores written before days existed.
    static constexpr const char* kOldIndexFile = "index.jsonl";
    // The journal folder's name for a store without node names.
    static constexpr const char* kNoNodeJournal = "local";

    static std::string indexDay(const std::string& day) { return std::string(kIndexDir) + "/" + day + ".jsonl"; }
    static std::string metaDay(const std::string& day) { return std::string(kMetaDir) + "/" + day + ".log"; }
    // client is already encoded (nameEncoding.h).
    static std::string errlogDay(const std::string& client, const std::string& day) {
        return std::string(kErrlogDir) + "/" + client + "/" + day + ".log";
    }
    static std::string journalDir(const std::string& node) {
        return std::string(kJournalDir) + "/" + (node.empty() ? kNoNodeJournal : node);
    }
    // True for "YYYY-MM-DD" (digits and dashes where they belong).
    static bool isDay(const std::string& text);
    // True for a path relative to the store that stays inside it: not absolute,
    // no empty and no ".." component. Paths read back from index lines and
    // journal records are checked with it before any file is touched.
    static bool staysInStore(const std::string& rel);
    // The day of an index file name "YYYY-MM-DD.jsonl", or empty.
    static std::string dayOfIndexFile(const std::string& fileName);
};

}  // namespace logserver
