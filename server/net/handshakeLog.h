// HandshakeLog: Ice's logger for the server, which turns Ice's trace of an
// incoming connection that failed before it was set up (a TLS handshake
// refused: wrong CA, a plain client on the ssl port, no client certificate,
// or a handshake that did not finish in time) into one line per client
// address per minute. Ice has no other report of these: they happen before
// any connection observer sees the connection, and Ice does not warn about
// them.
//
// The same trace says when a handshake starts and ends, which no observer
// sees either; those go to the handshake callbacks, so that handshakes in
// progress can count against the connection limits.
//
// It needs Ice's network trace at level 2; the rest of that trace is dropped
// unless the operator asked for it (forwardNetwork). Everything else goes to
// Ice's own logger unchanged.
//
// Thread rules: Ice calls it from any thread.
#pragma once

#include <Ice/Ice.h>

#include <functional>
#include <memory>
#include <string>

#include "addressLogLimiter.h"

namespace logserver {

class HandshakeLog : public Ice::Logger {
public:
    using LogLine = std::function<void(const std::string&)>;
    struct Peer {
        std::string address;
        int localPort = -1;
        int remotePort = -1;
    };
    using HandshakeEvent = std::function<void(const Peer&)>;
    HandshakeLog(std::shared_ptr<Ice::Logger> next, bool forwardNetwork, LogLine log, HandshakeEvent started = nullptr,
                 HandshakeEvent ended = nullptr);

    void print(const std::string& message) override { next_->print(message); }
    void trace(const std::string& category, const std::string& message) override;
    void warning(const std::string& message) override { next_->warning(message); }
    void error(const std::string& message) override { next_->error(message); }
    std::string getPrefix() override { return next_->getPrefix(); }
    std::shared_ptr<Ice::Logger> cloneWithPrefix(const std::string& prefix) override;

    // The line for a network trace of a failed accept, or empty for any other
    // trace; address is set to the client's address (tests).
    static std::string refusalOf(const std::string& message, std::string& address);
    // The addresses of a trace that lists them (false when it does not).
    static bool peerOf(const std::string& message, Peer& peer);

private:
    struct Shared {
        bool forwardNetwork;
        LogLine log;
        HandshakeEvent started;
        HandshakeEvent ended;
        AddressLogLimiter lines;
    };
    HandshakeLog(std::shared_ptr<Ice::Logger> next, std::shared_ptr<Shared> shared)
        : next_(std::move(next)), shared_(std::move(shared)) {}

    std::shared_ptr<Ice::Logger> next_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace logserver
