// CommandServant: the Ice servant behind "Log.ClientLogServer". Hands each
// command to RequestHandler and answers: success once it is stored or
// quarantined, CommandFailed for what may pass later (see requestHandler.h),
// for shutting down and for an injected failure.
//
// Dispatch is concurrent (the server thread pool) and asynchronous: once a
// command's index line is written, its dispatch thread goes on to the next
// request while the command waits for the group flush that makes it durable;
// the answer goes out from the flush's thread. The servant also checks that
// each connection keeps at most one command outstanding. Large requests
// are handled a few at a time (see largeRequestSlots.h), so that small ones
// never wait behind them; those refused as busy are logged once per client
// address per minute, since a bomber retries as fast as it is answered.
//
// With a receipt window, a command this server stored lately is answered
// with success again and not stored twice (see receiptWindow.h).
#pragma once

#include <Ice/Ice.h>
#include <LogServer.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "addressLogLimiter.h"
#include "largeRequestSlots.h"
#include "receiptWindow.h"
#include "requestHandler.h"

namespace logserver {

struct ServantOptions {
    RequestLimits limits;
    int failEvery = 0;  // every Nth command is refused; 0: never
    int delayMs = 0;    // added before every answer
    // Not owned; null: every command is stored. One window may serve the
    // servants of several organisations, told apart by organisation.
    ReceiptWindow* receipts = nullptr;
    std::string organisation;
    // Not owned; null: large requests are not limited. Shared by every
    // organisation's servant, since they share the dispatch threads.
    LargeRequestSlots* largeRequests = nullptr;
};

// One line on stdout or stderr, whole even when threads write at once.
void printLine(bool error, const std::string& line);
// The client's address and port as "ip:port", or empty when unknown.
std::string peerOf(const Ice::Current& current);
// The client's IP address alone, or empty when unknown.
std::string addressOf(const Ice::Current& current);

class CommandServant : public Log::ClientLogServer {
public:
    CommandServant(LogStore& store, ServantOptions options);
    // Waits until every command handed to the store has been answered.
    ~CommandServant() override;
    CommandServant(const CommandServant&) = delete;
    CommandServant& operator=(const CommandServant&) = delete;

    void sendCmdAsync(int cmdId, std::string json, Ice::ByteSeq data, std::function<void()> response,
                      std::function<void(std::exception_ptr)> exception, const Ice::Current& current) override;

    // From then on every command is refused with "shutting down".
    void beginShutdown() { shuttingDown_ = true; }
    uint64_t commandCount() const { return commands_; }
    uint64_t violationCount() const { return violations_; }
    // Commands answered from the receipt window instead of being stored.
    uint64_t resendCount() const { return resends_; }
    // Commands stored up to their index line and not answered yet; the
    // servant (and its store) must stay while there are any.
    int awaitingCount() const;

private:
    class InFlightGuard;
    class PendingAnswer;
    void logBusy(const std::string& address, const std::string& what);
    // Logs how the command ended; the exception to answer with, or null.
    std::exception_ptr settle(const std::string& what, size_t bytes, const ReceiptWindow::Key& key,
                              ReceiptWindow* receipts, const Outcome& out, const StoreFailure* failure);
    void delayAnswer() const;

    RequestHandler handler_;
    ServantOptions options_;
    std::atomic<bool> shuttingDown_{false};
    std::atomic<uint64_t> commands_{0};
    std::atomic<uint64_t> violations_{0};
    std::atomic<uint64_t> resends_{0};
    std::mutex inFlightMutex_;
    std::map<const Ice::Connection*, int> inFlight_;
    AddressLogLimiter busyLines_;
    mutable std::mutex awaitingMutex_;
    std::condition_variable answered_;
    int awaiting_ = 0;
};

}  // namespace logserver
