// The fault harness: a client process killed at random moments, a server taken
// away for a while, a host that accepts no connections. Every line the client
// wrote to its log file must reach the server at least once.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace harness {

// The client side, run in a child process: logs a steady stream of numbered
// lines and reports them, until it is killed. With drainOnly it logs nothing,
// uploads what is left and stops cleanly; so it does after maxLines lines
// (0: no limit).
int runClient(const std::string& logDir, const std::string& servers, int trial, bool drainOnly, int timeoutMs,
              int64_t maxLines = 0);

// Lines of the detail log that the next start will discard because the report
// file is longer than its header says (an append cut by the kill): the queued
// detail segments of such a file, decompressed.
std::string linesLostToReset(const std::string& rptPath);

struct Tally {
    int64_t written = 0;     // lines in the client's log file
    int64_t delivered = 0;   // reached the server at least once
    int64_t duplicated = 0;  // reached it more than once
    int64_t duplicatedRuns = 0;  // runs of consecutive duplicated lines: pieces sent twice
    int64_t lostToReset = 0; // missing, and discarded by the reset rule
    int64_t lost = 0;        // missing for any other reason: must be 0
};

// Compares the client's log file with every detail file the server stored.
Tally compare(const std::string& logFile, const std::string& storeDir, const std::set<std::string>& resetLines);

// Clients upload while the server is killed kills times; true when every
// confirmed command is stored whole, once, under a number of its own.
bool runServerKillTest(const std::string& serverBin, const std::string& work, int kills, unsigned seed);

}  // namespace harness
