// TokenGate: the servant behind "Log.ClientLogServer" when the server runs
// with --tokens. Every command must carry a known organisation token in its
// context under "Token"; the command then goes, with the token taken out, to
// that organisation's own CommandServant and store under <root>/<ORGANISATION>/
// (the same layout as an unpartitioned store; see organisationStores.h), so
// no client can write into another organisation's files.
//
// A command without a known token fails with CommandFailed("unauthorized"),
// is logged without its token and stores nothing. After kMaxFailedAttempts
// such failures a connection is closed, so each further guess costs a new
// connection (and, over ssl, a new handshake).
#pragma once

#include <Ice/Ice.h>
#include <LogServer.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "commandServant.h"
#include "logStore.h"
#include "organisationStores.h"
#include "tokenRegistry.h"

namespace logserver {

class TokenGate : public Log::ClientLogServer {
public:
    static constexpr int kMaxFailedAttempts = 3;

    TokenGate(std::string root, StoreOptions storeOptions, ServantOptions options, TokenRegistry& tokens);

    void sendCmd(int cmdId, std::string json, Ice::ByteSeq data, const Ice::Current& current) override;

    void beginShutdown();
    uint64_t commandCount() const;
    uint64_t violationCount() const;
    uint64_t resendCount() const;

private:
    struct Attempts {
        std::weak_ptr<Ice::Connection> connection;
        int failures = 0;
    };

    void refuse(int cmdId, const Ice::Current& current);

    OrganisationStores stores_;
    TokenRegistry& tokens_;
    std::atomic<bool> shuttingDown_{false};
    std::atomic<uint64_t> refused_{0};
    mutable std::mutex mutex_;
    std::map<const Ice::Connection*, Attempts> attempts_;
};

}  // namespace logserver
