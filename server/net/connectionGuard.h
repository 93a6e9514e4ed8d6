// ConnectionGuard: limits the open client connections, overall and per client
// address, closes connections that send no request, and logs connections that
// Ice drops for a bad or oversized request.
//
// Ice has no setting for a connection limit, so the guard watches the
// connections through Ice's instrumentation: every incoming connection is
// counted when Ice has set it up and uncounted when it closes. One beyond a
// limit has its socket shut down at once (found by its addresses among the
// process's sockets); Ice then closes it, and the client sees its connection
// lost before its first call is answered, as with a server that is down, and
// tries again after its retry pause. The per-address limit keeps one address
// from taking every place; it is high by default because a whole office may
// reach the server from behind one address.
//
// Ice's own idle time-out counts heartbeats as traffic, so a socket that only
// sends heartbeats (14 bytes every few minutes) would hold its place for
// ever. The guard therefore also tracks when each connection last had a
// request dispatched, and a watcher thread shuts down any connection that
// has had none for requestIdle, whatever else it sends. A connection with a
// request in dispatch is never closed this way.
//
// Connections still in their TLS handshake count against both limits too
// (see handshakeLog.h for how they are seen).
//
// Refusals and closings are logged once per client address per minute,
// with the number held back since.
//
// Thread rules: Ice calls the observer methods from its own threads; the
// watcher runs until the guard is destroyed.
#pragma once

#include <Ice/Ice.h>
#include <Ice/Instrumentation.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "addressLogLimiter.h"

namespace logserver {

struct ConnectionLimits {
    int maxConnections = 1000;
    int maxPerAddress = 512;
    std::chrono::seconds requestIdle{300};
    std::chrono::seconds handshakeTimeout{10};
    // Set: an address for which it says true has its new connections refused
    // (one guessing tokens). Called from Ice's threads; must stay valid.
    std::function<bool(const std::string& address)> refuseAddress;
};

class ConnectionGuard : public Ice::Instrumentation::CommunicatorObserver {
public:
    using LogLine = std::function<void(const std::string&)>;
    ConnectionGuard(ConnectionLimits limits, LogLine log);
    ~ConnectionGuard() override;
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

    // A connection in its handshake, which Ice shows no observer: counted
    // against the limits from its start (one beyond them is shut down at
    // once) until it ends, when the observer takes it over.
    void handshakeStarted(const std::string& address, int localPort, int remotePort);
    void handshakeEnded(const std::string& address, int localPort, int remotePort);

    int openConnections() const { return open_; }
    uint64_t refusedConnections() const { return refused_; }

    std::shared_ptr<Ice::Instrumentation::ConnectionObserver> getConnectionObserver(
        const std::shared_ptr<Ice::ConnectionInfo>& info, const std::shared_ptr<Ice::Endpoint>& endpoint,
        Ice::Instrumentation::ConnectionState state,
        const std::shared_ptr<Ice::Instrumentation::ConnectionObserver>& old) override;

    // Every request dispatched marks its connection as in use.
    std::shared_ptr<Ice::Instrumentation::DispatchObserver> getDispatchObserver(const Ice::Current& current,
                                                                                int size) override;

    std::shared_ptr<Ice::Instrumentation::Observer> getConnectionEstablishmentObserver(
        const std::shared_ptr<Ice::Endpoint>&, const std::string&) override {
        return nullptr;
    }
    std::shared_ptr<Ice::Instrumentation::Observer> getEndpointLookupObserver(
        const std::shared_ptr<Ice::Endpoint>&) override {
        return nullptr;
    }
    std::shared_ptr<Ice::Instrumentation::ThreadObserver> getThreadObserver(
        const std::string&, const std::string&, Ice::Instrumentation::ThreadState,
        const std::shared_ptr<Ice::Instrumentation::ThreadObserver>&) override {
        return nullptr;
    }
    std::shared_ptr<Ice::Instrumentation::InvocationObserver> getInvocationObserver(
        const std::shared_ptr<Ice::ObjectPrx>&, const std::string&, const Ice::Context&) override {
        return nullptr;
    }
    void setObserverUpdater(const std::shared_ptr<Ice::Instrumentation::ObserverUpdater>&) override {}

private:
    class WatchedConnection;
    class RequestObserver;
    using Clock = std::chrono::steady_clock;

    // Counts a new connection; the reason it must be refused, or empty.
    std::string admit(const std::string& address);
    void forget(const WatchedConnection& connection);
    void uncount(const std::string& address);
    // One line per kind of event and address per minute.
    void logLimited(const char* kind, const std::string& address, const std::string& line);
    void watchIdle();
    void closeIdle(Clock::time_point now);

    const ConnectionLimits limits_;
    LogLine log_;
    AddressLogLimiter lines_;
    std::atomic<int> open_{0};
    std::atomic<uint64_t> refused_{0};

    std::mutex mutex_;
    std::map<std::string, int> perAddress_;
    // By "address:remotePort:localPort"; the observers are Ice's to keep.
    std::map<std::string, std::weak_ptr<WatchedConnection>> connections_;
    // Handshakes in progress, by the same key, with their start.
    std::map<std::string, Clock::time_point> handshakes_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread watcher_;
};

}  // namespace logserver
