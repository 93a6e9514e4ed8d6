// CommandServant: the Ice servant behind "Log.ClientLogServer". Decodes each
// command, stores it through LogStore and answers.
//
// Answers:
//  - success once the command is stored durably;
//  - CommandFailed only for what may pass later (store not writable, disk
//    full, shutting down, injected failure), so the client keeps the segment;
//  - malformed input (unknown command, data that does not inflate, bad JSON,
//    unsafe detail file names) is quarantined under rejected/<seq>/ and
//    answered with success: refusing it would block the client's queue.
//
// Dispatch is concurrent (the server thread pool); the servant also checks
// that each connection keeps at most one command outstanding.
#pragma once

#include <Ice/Ice.h>
#include <LogServer.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "logStore.h"

namespace logserver {

struct ServantOptions {
    uint64_t maxInflatedBytes = 0;  // larger inflated data is quarantined
    int failEvery = 0;              // every Nth command is refused; 0: never
    int delayMs = 0;                // added before every answer
};

class CommandServant : public Log::ClientLogServer {
public:
    CommandServant(LogStore& store, ServantOptions options);

    void sendCmd(int cmdId, std::string json, Ice::ByteSeq data, const Ice::Current& current) override;

    // From then on every command is refused with "shutting down".
    void beginShutdown() { shuttingDown_ = true; }
    uint64_t commandCount() const { return commands_; }
    uint64_t violationCount() const { return violations_; }

private:
    struct Request;
    class InFlightGuard;

    void storeCommand(Request& req);
    void storeErrorLog(Request& req);
    void storeDetailLog(Request& req);
    void storeDump(Request& req);
    void storeUserReport(Request& req);
    void quarantine(Request& req, const std::string& reason);
    void finish(Request& req);
    void write(const std::string& relPath, const std::string& bytes, bool append);

    LogStore& store_;
    ServantOptions options_;
    std::atomic<bool> shuttingDown_{false};
    std::atomic<uint64_t> commands_{0};
    std::atomic<uint64_t> violations_{0};
    std::mutex inFlightMutex_;
    std::map<const Ice::Connection*, int> inFlight_;
};

}  // namespace logserver
