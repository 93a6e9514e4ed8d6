#include "tokenGate.h"

#include <filesystem>
#include <iostream>
#include <thread>
#include <utility>

namespace logserver {
namespace {

const char kTokenKey[] = "Token";

}  // namespace

TokenGate::TokenGate(std::string root, StoreOptions storeOptions, ServantOptions options, TokenRegistry& tokens)
    : root_(std::move(root)), storeOptions_(storeOptions), options_(options), tokens_(tokens) {}

std::shared_ptr<CommandServant> TokenGate::servantFor(const std::string& organisation) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = organisations_.find(organisation);
    if (it != organisations_.end()) return it->second.servant;
    std::error_code ec;
    std::filesystem::create_directories(root_, ec);
    Organisation org;
    org.store = std::make_unique<LogStore>(root_ + "/" + organisation, storeOptions_);
    StoreError err;
    std::vector<std::string> notes;
    const bool opened = org.store->open(err, notes);
    for (const auto& note : notes) printLine(true, organisation + ": " + note);
    if (!opened) throw Log::CommandFailed(err.reason);
    ServantOptions options = options_;
    options.organisation = organisation;  // one receipt window serves every organisation
    org.servant = std::make_shared<CommandServant>(*org.store, options);
    if (shuttingDown_) org.servant->beginShutdown();
    auto servant = org.servant;
    organisations_.emplace(organisation, std::move(org));
    return servant;
}

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
    if (!reserved && current.con) current.con->close(Ice::ConnectionClose::Forcefully);
}

void TokenGate::sendCmd(int cmdId, std::string json, Ice::ByteSeq data, const Ice::Current& current) {
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
        servant = servantFor(organisation);
    } catch (const Log::CommandFailed& e) {
        std::cerr << "refused cmd " + std::to_string(cmdId) + " from " + peerOf(current) + ": " + e.reason + "\n";
        throw;
    }
    servant->sendCmd(cmdId, std::move(json), std::move(data), forwarded);
}

void TokenGate::beginShutdown() {
    shuttingDown_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& org : organisations_) org.second.servant->beginShutdown();
}

uint64_t TokenGate::commandCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t n = refused_;
    for (const auto& org : organisations_) n += org.second.servant->commandCount();
    return n;
}

uint64_t TokenGate::violationCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t n = 0;
    for (const auto& org : organisations_) n += org.second.servant->violationCount();
    return n;
}

uint64_t TokenGate::resendCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t n = 0;
    for (const auto& org : organisations_) n += org.second.servant->resendCount();
    return n;
}

}  // namespace logserver
