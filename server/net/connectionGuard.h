// ConnectionGuard: limits the open client connections and logs connections
// that Ice drops for a bad or oversized request.
//
// Ice has no setting for a connection limit, so the guard watches the
// connections through Ice's instrumentation: every incoming connection is
// counted when Ice accepts it and uncounted when it closes. One beyond the
// limit has its socket shut down at once (found by its addresses among the
// process's sockets); Ice then closes it, and the client sees its connection
// lost before its first call is answered, as with a server that is down, and
// tries again after its retry pause. Idle connections are closed by Ice's
// own idle time-out (ACM), so a client that keeps a connection without
// using it holds its place for at most that long.
#pragma once

#include <Ice/Ice.h>
#include <Ice/Instrumentation.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace logserver {

class ConnectionGuard : public Ice::Instrumentation::CommunicatorObserver {
public:
    using LogLine = std::function<void(const std::string&)>;
    ConnectionGuard(int maxConnections, LogLine log);

    int openConnections() const { return open_; }
    uint64_t refusedConnections() const { return refused_; }

    std::shared_ptr<Ice::Instrumentation::ConnectionObserver> getConnectionObserver(
        const std::shared_ptr<Ice::ConnectionInfo>& info, const std::shared_ptr<Ice::Endpoint>& endpoint,
        Ice::Instrumentation::ConnectionState state,
        const std::shared_ptr<Ice::Instrumentation::ConnectionObserver>& old) override;

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
    std::shared_ptr<Ice::Instrumentation::DispatchObserver> getDispatchObserver(const Ice::Current&, int) override {
        return nullptr;
    }
    void setObserverUpdater(const std::shared_ptr<Ice::Instrumentation::ObserverUpdater>&) override {}

private:
    class Observer;

    const int max_;
    LogLine log_;
    std::atomic<int> open_{0};
    std::atomic<uint64_t> refused_{0};
};

}  // namespace logserver
