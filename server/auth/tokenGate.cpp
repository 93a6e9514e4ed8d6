#include "tokenGate.h"

#include <iostream>
#include <thread>
#include <utility>

namespace logserver {
namespace {

const char kTokenKey[] = "Token";

}  // namespace

TokenGate::TokenGate(std::string root, StoreOptions storeOptions, ServantOptions options, TokenRegistry& tokens)
    : stores_(std::move(root), std::move(storeOptions), std::move(options)), tokens_(tokens) {}

void TokenGate::refuse(int cmdId, const Ice::Current& current) {
    ++refused_;
    const std::string address = addressOf(current);
    uint64_t held = 0;
    if (refusalLines_.due(address, AddressLogLimiter::Clock::now(), held)) {
        std::string line = "refused cmd " + std::to_string(cmdId) + " from " + peerOf(current) + ": unauthorized";
        if (held > 0) line += " (and " + std::to_string(held) + " more from " + address + " since its last line)";
        printLine(true, line);
    }
    paceFailure(address, current);
    throw Log::CommandFailed("unauthorized");
}

void TokenGate::paceFailure(const std::string& address, const Ice::Current& current) {
    const bool mayWait = ++delayedAnswers_ <= kMaxDelayedAnswers;
    FailureThrottle::Clock::duration wait{};
    const bool reserved = throttle_.reserve(address, FailureThrottle::Clock::now(),
                                            mayWait ? FailureThrottle::Clock::duration(kMaxAnswerDelay)
                                                    : FailureThrottle::Clock::duration::zero(),
                                            wait);
    if (reserved && wait > FailureThrottle::Clock::duration::zero()) std::this_thread::sleep_for(wait);
    --delayedAnswers_;
    if (reserved) return;
    throttle_.charge(address, FailureThrottle::Clock::now());
    if (current.con) current.con->close(Ice::ConnectionClose::Forcefully);
}

bool TokenGate::guessing(const std::string& address) {
    return throttle_.overBudget(address, FailureThrottle::Clock::now(), kMaxAnswerDelay);
}

void TokenGate::sendCmdAsync(int cmdId, std::string json, Ice::ByteSeq data, std::function<void()> response,
                             std::function<void(std::exception_ptr)> exception, const Ice::Current& current) {
    if (shuttingDown_) throw Log::CommandFailed("shutting down");
    auto token = current.ctx.find(kTokenKey);
    std::string organisation;
    if (token != current.ctx.end()) organisation = tokens_.organisationOf(token->second);
    if (organisation.empty()) refuse(cmdId, current);

    // The token goes no further: nothing behind the gate can store or log it.
    Ice::Current forwarded = current;
    forwarded.ctx.erase(kTokenKey);
    std::shared_ptr<CommandServant> servant;
    try {
        servant = stores_.servantFor(organisation);
    } catch (const Log::CommandFailed& e) {
        std::cerr << "refused cmd " + std::to_string(cmdId) + " from " + peerOf(current) + ": " + e.reason + "\n";
        throw;
    }
    servant->sendCmdAsync(cmdId, std::move(json), std::move(data), std::move(response), std::move(exception), forwarded);
}

void TokenGate::beginShutdown() {
    shuttingDown_ = true;
    stores_.beginShutdown();
}

uint64_t TokenGate::commandCount() const { return refused_ + stores_.commandCount(); }

uint64_t TokenGate::violationCount() const { return stores_.violationCount(); }

uint64_t TokenGate::resendCount() const { return stores_.resendCount(); }

}  // namespace logserver
