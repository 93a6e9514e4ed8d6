// JournalReplay: what a server's start does with the journal a killed server
// (or a machine that went down) left behind; the record format is journal.h's.
//
// A command counts as stored when its commit record is there, or when its
// index line is on disk; one undone by the server itself (X) is left as it
// is. Stored commands are redone from their copies: each copied range is
// written back where it belongs, in case the machine lost it, into files that
// still exist (a file that is gone was removed on purpose). Everything else
// is undone: appends cut back where nothing stored follows them, created
// files and folders removed. Where an unstored command's bytes lie before a
// stored one's and the machine lost them, the zeros left in their place are
// turned into blanks ending in a newline, so that a line that follows is
// still read as a line.
//
// The reader distrusts the segments: a damaged line is skipped, a copy whose
// length runs past the end of the segment ends its reading, and paths that
// would leave the store are never touched.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "storeError.h"

namespace logserver {

class JournalReplay {
public:
    // root is the store's folder, dir the journal's folder in it.
    JournalReplay(std::string root, std::string dir, bool sync);

    // Reads the given segments (their numbers, oldest first), repairs the
    // store and says what it did in notes. The segments are left in place.
    bool run(const std::vector<uint64_t>& segments, std::vector<std::string>& notes, StoreError& err);

private:
    struct Intent {
        char kind = 'A';  // 'A' (appends, copied or not) or 'N' (creates)
        uint64_t offset = 0;
        std::string path;
        std::string copy;  // the bytes, for a copied append
        bool copied = false;
    };
    struct Records {
        std::vector<Intent> intents;
        std::set<std::string> cancelled;  // files whose copies are void
        bool committed = false;
        bool undone = false;
    };
    // An append's place in its file, for telling what lies between stored ones.
    struct Mark {
        uint64_t offset;
        bool stored;
    };

    void readSegment(const std::string& file);
    bool isStored(uint64_t seq, const Records& r) const;
    bool redo(const std::string& rel, const std::vector<const Intent*>& copies, const std::vector<Mark>& marks,
              std::vector<std::string>& notes, StoreError& err);
    bool cutBack(std::vector<std::string>& notes, StoreError& err);

    const std::string root_;
    const std::string dir_;
    const bool sync_;
    std::map<uint64_t, Records> commands_;
    // Per appended file: where unstored appends began, where stored ones begin.
    std::map<std::string, uint64_t> cutTo_;
    std::map<std::string, uint64_t> lastKept_;
};

}  // namespace logserver
