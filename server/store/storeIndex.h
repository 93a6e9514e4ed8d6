// Index days (index/<day>.jsonl): one JSON object per command, in order of
// storing.
//
// Every line is valid UTF-8: a text that is not is written under its key
// with "Hex" appended, as hexadecimal bytes. Lines hold the command's
// identifying fields; the request's JSON itself is in the day's meta log.
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace logserver {

// Builds one index line.
class IndexLine {
public:
    // node is left out when empty; time is the command's arrival
    // ("YYYY-MM-DDTHH:MM:SS.mmmZ"), whose day is the index day.
    IndexLine(const std::string& seq, const std::string& node, const std::string& time);
    void text(const char* key, const std::string& value);
    void number(const char* key, int64_t value);
    void flag(const char* key, bool value);
    // The finished line, ending in '\n'.
    std::string finish();

private:
    rapidjson::StringBuffer buf_;
    rapidjson::Writer<rapidjson::StringBuffer> w_;
};

struct IndexScan {
    uint64_t lastSeq = 0;
    std::set<uint64_t> found;  // those of the asked-for numbers that have a line
};

// Cuts a torn last line (a crash or a full disk during its write) so that
// the next line starts on its own; notes says what was done.
// name is how the notes call the file.
bool repairIndex(const std::string& path, const std::string& name, bool sync, std::vector<std::string>& notes);

// The highest sequence number in the index, and which of wanted have a line.
IndexScan scanIndex(const std::string& path, const std::set<uint64_t>& wanted);

}  // namespace logserver
