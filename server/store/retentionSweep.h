// RetentionSweep: deletes what is past its retention limit (--retain).
//
// A command's day is the day of its index file. A rule "KIND=DAYS" keeps the
// commands of that kind from the last DAYS days (today included); kinds are
// errlog, detail, dump, report, rejected, and all for every kind without a
// rule of its own. A kind without a rule keeps everything.
//   dump, report, rejected: the command's files go with its day;
//   errlog: a client's day file goes with its day;
//   detail: an appended detail file goes once the newest command that wrote
//           to it is past the limit (judged by the index, never by file times);
//   index and meta days go once no kind keeps anything of them.
// Each kind's deletions make one log line with counts and bytes.
//
// Thread rules: one sweep at a time per store; commands may be stored
// meanwhile (today is never past a limit).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace logserver {

class RetentionSweep {
public:
    // Days kept per kind; "all" applies to the kinds not named.
    using Rules = std::map<std::string, int>;

    // Parses "KIND=DAYS" into rules; false with the reason.
    static bool addRule(const std::string& text, Rules& rules, std::string& error);

    RetentionSweep(std::string root, Rules rules) : root_(std::move(root)), rules_(std::move(rules)) {}

    // today is "YYYY-MM-DD" (UTC); log gets one line per kind deleted from.
    void run(const std::string& today, std::vector<std::string>& log) const;
    // Deletes every kind of the days up to lastDay (a quota's oldest days),
    // whatever the rules; detail files as their newest writer allows.
    void dropDaysUpTo(const std::string& lastDay, const std::string& today, std::vector<std::string>& log);

    // The day n days before day ("YYYY-MM-DD").
    static std::string daysBefore(const std::string& day, int n);

private:
    // True when commands of kind from day are past their limit.
    bool expired(const std::string& kind, const std::string& day, const std::string& today) const;

    std::string root_;
    Rules rules_;
    std::string dropUpTo_;  // set by dropDaysUpTo: every kind of these days goes
};

}  // namespace logserver
