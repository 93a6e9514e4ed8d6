// What a client queued, against what the reference server stored: one
// checker for every end-to-end run, whichever system the client ran on.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct QueuedUpload {
    std::string client;   // pcid
    std::string module;   // application name given to Init
    std::string version;
    std::string clientIp;
    std::string nick;
    std::string logText;    // the client's whole log file
    std::string dumpBytes;  // the crash dump as queued, trailer included; empty: none
    std::vector<std::pair<std::string, std::string>> attachments;  // name, bytes
};

// The error lines (level error and above) of a log text, in order.
std::string errorLinesOf(const std::string& logText);

// The only regular file under dir whose path ends with suffix; empty when
// there is none or more than one.
std::string onlyFileIn(const std::string& dir, const std::string& suffix);

// The files of a store folder (index days, a client's error-log days) one
// after the other, in name order, which is day order.
std::string storedDays(const std::string& dir);

// Every difference between the upload and the store, one line each; empty
// when all of it arrived byte-exact: one error log with its header, the
// detail log whole in the client's detail file, the dump, the attachments.
std::vector<std::string> storedMismatches(const std::string& storeDir, const QueuedUpload& upload);

}  // namespace testsupport
