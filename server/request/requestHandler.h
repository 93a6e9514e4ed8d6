// RequestHandler: turns one command into what the store keeps. Independent
// of Ice, so that the fuzz target can drive it from raw bytes.
//
// Every command ends in exactly one of:
//  - stored: its files are written and its index line follows;
//  - quarantined under rejected/<seq>/ with the reason in the index (bytes
//    kept while rejected/ is under its cap): malformed input, which no retry
//    could make acceptable;
//  - StoreFailure, for what may pass later (disk below the free-space floor,
//    store not writable): nothing of the command is left in the store.
//
// Memory per command: the request itself, one inflate buffer and a JSON
// document of at most maxJsonBytes; inflated data goes to disk as it comes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "inflateStream.h"
#include "logStore.h"

namespace logserver {

struct RequestLimits {
    uint64_t maxInflatedBytes = 2048ull << 20;
    size_t maxJsonBytes = 1 << 20;
    int maxJsonDepth = 64;
};

struct Request {
    int cmdId = 0;
    std::string peer;
    std::string cmdType;
    std::string json;
    const unsigned char* data = nullptr;
    size_t size = 0;
    // The re-send window's key (hex), recorded in a stored command's index
    // line so that the window survives a restart; empty without a window.
    std::string receipt;
};

struct Outcome {
    uint64_t seq = 0;
    std::string path;
    std::string rejected;  // empty unless quarantined
    uint64_t inflated = 0;
};

struct StoreFailure {
    std::string reason;
};

class RequestHandler {
public:
    RequestHandler(LogStore& store, RequestLimits limits) : store_(store), limits_(limits) {}
    // failure is null when the command is stored (or quarantined) for good.
    using Done = std::function<void(const Outcome& out, const StoreFailure* failure)>;

    // Stores req and calls done once it is durable: at once without sync,
    // else from the store's flush thread after the round that covers it.
    // Throws StoreFailure for what fails before its index line is written
    // (nothing of it is left) and done is then not called; a failed flush
    // reaches done as a failure, with the command's files left in place since
    // its index line may be on disk.
    void handleAsync(const Request& req, Done done);
    // The same, waiting for done. Throws StoreFailure.
    Outcome handle(const Request& req);
    // The name a command stored under seq has in the store and the log.
    std::string seqName(uint64_t seq) const { return store_.seqName(seq); }

private:
    struct Job;
    // Everything up to and with the index line. Throws StoreFailure.
    Outcome storeUpToIndex(const Request& req);
    void storeErrorLog(Job& job);
    void storeDetailLog(Job& job);
    void storeDump(Job& job);
    void storeUserReport(Job& job);
    void quarantine(Job& job, const std::string& reason);
    void finish(Job& job);
    static void noteRange(Job& job);
    bool inflateRest(Job& job, InflateStream& in, InflateStream::Status st, FileWriter& out);

    LogStore& store_;
    RequestLimits limits_;
};

// Why the JSON text cannot be used (too long, too deep, no object), or empty.
std::string checkJson(const std::string& text, const RequestLimits& limits);

}  // namespace logserver
