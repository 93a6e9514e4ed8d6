// TokenGate: the servant behind "Log.ClientLogServer" when the server runs
// with --tokens. Every command must carry a known organisation token in its
// context under "Token"; the command then goes, with the token taken out, to
// that organisation's own CommandServant and store under <root>/<ORGANISATION>/
// (the same layout as an unpartitioned store; see organisationStores.h), so
// no client can write into another organisation's files.
//
// A command without a known token fails with CommandFailed("unauthorized")
// and stores nothing. Closing a guesser's connection would cost it nothing
// (an Ice client reconnects on its own), so failures are paced by client
// address instead (see failureThrottle.h): beyond an address's budget the
// answer waits, on at most kMaxDelayedAnswers dispatch threads at once and
// for at most kMaxAnswerDelay; an attempt that would wait longer, or find no
// thread to wait on, has its connection closed unanswered. That closing still
// tells a guesser on many connections that its token was wrong, so it spends
// the address's budget all the same, and while the address is over its
// budget (guessing()) the connection guard refuses its new connections before
// any request: a closing then no longer says whether a token was checked. Refusals are logged, without the token, once per address
// per minute with the count of those held back.
#pragma once

#include <Ice/Ice.h>
#include <LogServer.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "addressLogLimiter.h"
#include "commandServant.h"
#include "failureThrottle.h"
#include "logStore.h"
#include "organisationStores.h"
#include "tokenRegistry.h"

namespace logserver {

class TokenGate : public Log::ClientLogServer {
public:
    // Whether address has spent its budget of wrong tokens for longer than
    // an answer may be delayed. May be called from any thread.
    bool guessing(const std::string& address);
    // Dispatch threads that may sit on a delayed answer; the rest keep serving.
    static constexpr int kMaxDelayedAnswers = 2;
    static constexpr std::chrono::milliseconds kMaxAnswerDelay{2000};

    TokenGate(std::string root, StoreOptions storeOptions, ServantOptions options, TokenRegistry& tokens);

    void sendCmdAsync(int cmdId, std::string json, Ice::ByteSeq data, std::function<void()> response,
                      std::function<void(std::exception_ptr)> exception, const Ice::Current& current) override;

    void beginShutdown();
    uint64_t commandCount() const;
    uint64_t violationCount() const;
    uint64_t resendCount() const;

private:
    [[noreturn]] void refuse(int cmdId, const Ice::Current& current);
    // Waits until the failure's answer may go, or closes the connection.
    void paceFailure(const std::string& address, const Ice::Current& current);

    OrganisationStores stores_;
    TokenRegistry& tokens_;
    std::atomic<bool> shuttingDown_{false};
    std::atomic<uint64_t> refused_{0};
    mutable std::mutex mutex_;
    FailureThrottle throttle_;
    AddressLogLimiter refusalLines_;
    std::atomic<int> delayedAnswers_{0};
};

}  // namespace logserver
