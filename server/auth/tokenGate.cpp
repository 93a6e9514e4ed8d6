#include "tokenGate.h"

#include <iostream>
#include <utility>

namespace logserver {
namespace {

const char kTokenKey[] = "Token";

}  // namespace

TokenGate::TokenGate(std::string root, StoreOptions storeOptions, ServantOptions options, TokenRegistry& tokens)
    : stores_(std::move(root), std::move(storeOptions), std::move(options)), tokens_(tokens) {}

void TokenGate::refuse(int cmdId, const Ice::Current& current) {
    ++refused_;
    const std::string peer = peerOf(current);
    bool close = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Forget connections that are gone, so a reused address starts afresh.
        for (auto it = attempts_.begin(); it != attempts_.end();) {
            it = it->second.connection.expired() ? attempts_.erase(it) : std::next(it);
        }
        if (current.con) {
            Attempts& a = attempts_[current.con.get()];
            a.connection = current.con;
            close = ++a.failures >= kMaxFailedAttempts;
        }
    }
    {
        std::string line = "refused cmd " + std::to_string(cmdId) + " from " + peer + ": unauthorized";
        if (close) line += " (" + std::to_string(kMaxFailedAttempts) + " failed attempts: closing the connection)";
        static std::mutex outputMutex;
        std::lock_guard<std::mutex> lock(outputMutex);
        std::cerr << line << std::endl;
    }
    // Gracefully: this answer still reaches the client before the close.
    if (close) current.con->close(Ice::ConnectionClose::Gracefully);
    throw Log::CommandFailed("unauthorized");
}

void TokenGate::sendCmd(int cmdId, std::string json, Ice::ByteSeq data, const Ice::Current& current) {
    if (shuttingDown_) throw Log::CommandFailed("shutting down");
    auto token = current.ctx.find(kTokenKey);
    std::string organisation;
    bool exhausted = false;
    if (current.con) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = attempts_.find(current.con.get());
        exhausted = it != attempts_.end() && it->second.failures >= kMaxFailedAttempts;
    }
    if (!exhausted && token != current.ctx.end()) organisation = tokens_.organisationOf(token->second);
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
    servant->sendCmd(cmdId, std::move(json), std::move(data), forwarded);
}

void TokenGate::beginShutdown() {
    shuttingDown_ = true;
    stores_.beginShutdown();
}

uint64_t TokenGate::commandCount() const { return refused_ + stores_.commandCount(); }

uint64_t TokenGate::violationCount() const { return stores_.violationCount(); }

uint64_t TokenGate::resendCount() const { return stores_.resendCount(); }

}  // namespace logserver
