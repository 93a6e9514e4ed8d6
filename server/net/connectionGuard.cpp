#include "connectionGuard.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace logserver {
namespace {

int portOf(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return -1;
}

// Shuts down the process's socket with these ports. Both ports must match,
// so a descriptor that Ice closed and reused meanwhile for another
// connection is left alone.
bool shutDownSocket(int localPort, int remotePort) {
    DIR* d = ::opendir("/proc/self/fd");
    if (!d) return false;
    bool done = false;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const int fd = std::atoi(e->d_name);
        struct stat st {};
        if (fd == ::dirfd(d) || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) {
            continue;
        }
        if (portOf(local) == localPort && portOf(peer) == remotePort) {
            done = ::shutdown(fd, SHUT_RDWR) == 0;
            break;
        }
    }
    ::closedir(d);
    return done;
}

std::string keyOf(const std::string& address, int remotePort, int localPort) {
    return address + ":" + std::to_string(remotePort) + ":" + std::to_string(localPort);
}

std::shared_ptr<Ice::IPConnectionInfo> ipInfo(std::shared_ptr<Ice::ConnectionInfo> info) {
    for (; info; info = info->underlying) {
        if (auto ip = std::dynamic_pointer_cast<Ice::IPConnectionInfo>(info)) return ip;
    }
    return nullptr;
}

}  // namespace

// One per incoming connection; reports why Ice dropped it and remembers
// when it last had a request.
class ConnectionGuard::WatchedConnection : public Ice::Instrumentation::ConnectionObserver {
public:
    WatchedConnection(ConnectionGuard& guard, std::string address, std::string peer, std::string key, int localPort,
             int remotePort)
        : address(std::move(address)), peer(std::move(peer)), key(std::move(key)), localPort(localPort),
          remotePort(remotePort), guard_(guard) {
        markRequest();
    }
    void attach() override {}
    void detach() override {}
    void sentBytes(int) override {}
    void receivedBytes(int) override {}
    void failed(const std::string& exceptionName) override {
        if (exceptionName.find("MemoryLimitException") != std::string::npos) {
            guard_.logLimited("large", address, "refused a request from " + peer + ": larger than --max-message-mb (" +
                                           exceptionName + "), connection closed");
        } else if (exceptionName.find("ProtocolException") != std::string::npos ||
                   exceptionName.find("MarshalException") != std::string::npos ||
                   exceptionName.find("Compression") != std::string::npos ||
                   exceptionName.find("IllegalMessageSize") != std::string::npos) {
            guard_.logLimited("bad", address, "refused a request from " + peer + ": " + exceptionName + ", connection closed");
        }
    }
    void markRequest() { lastRequest.store(Clock::now().time_since_epoch().count()); }
    Clock::duration sinceRequest(Clock::time_point now) const {
        return now.time_since_epoch() - Clock::duration(lastRequest.load());
    }

    const std::string address;
    const std::string peer;
    const std::string key;
    const int localPort;
    const int remotePort;
    bool counted = false;  // under Ice's connection lock
    std::atomic<Clock::rep> lastRequest{0};
    std::atomic<int> dispatching{0};
    std::atomic<bool> closing{false};

private:
    ConnectionGuard& guard_;
};

// Lives while one request is dispatched on a watched connection.
class ConnectionGuard::RequestObserver : public Ice::Instrumentation::DispatchObserver {
public:
    explicit RequestObserver(std::shared_ptr<WatchedConnection> connection) : connection_(std::move(connection)) {
        ++connection_->dispatching;
        connection_->markRequest();
    }
    ~RequestObserver() override {
        connection_->markRequest();
        --connection_->dispatching;
    }
    RequestObserver(const RequestObserver&) = delete;
    RequestObserver& operator=(const RequestObserver&) = delete;
    void attach() override {}
    void detach() override { connection_->markRequest(); }
    void failed(const std::string&) override {}
    void userException() override {}
    void reply(int) override {}

private:
    std::shared_ptr<WatchedConnection> connection_;
};

ConnectionGuard::ConnectionGuard(ConnectionLimits limits, LogLine log)
    : limits_(limits), log_(std::move(log)), watcher_([this] { watchIdle(); }) {}

ConnectionGuard::~ConnectionGuard() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    watcher_.join();
}

void ConnectionGuard::logLimited(const char* kind, const std::string& address, const std::string& line) {
    uint64_t held = 0;
    if (!lines_.due(std::string(kind) + " " + address, Clock::now(), held)) return;
    log_(held == 0 ? line : line + " (and " + std::to_string(held) + " more from " + address + " since its last line)");
}

std::string ConnectionGuard::admit(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int total = ++open_;
    const int fromAddress = ++perAddress_[address];
    if (total > limits_.maxConnections) {
        return std::to_string(total - 1) + " connections open, limit " + std::to_string(limits_.maxConnections);
    }
    if (limits_.refuseAddress && limits_.refuseAddress(address)) {
        return address + " is over its budget of wrong tokens";
    }
    if (fromAddress > limits_.maxPerAddress) {
        return std::to_string(fromAddress - 1) + " connections open from " + address + ", limit " +
               std::to_string(limits_.maxPerAddress) + " (--max-connections-per-ip)";
    }
    return {};
}

void ConnectionGuard::uncount(const std::string& address) {
    --open_;
    auto it = perAddress_.find(address);
    if (it != perAddress_.end() && --it->second <= 0) perAddress_.erase(it);
}

void ConnectionGuard::handshakeStarted(const std::string& address, int localPort, int remotePort) {
    const std::string refusal = admit(address);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // One refused here is gone once shut down, and Ice may not trace its end.
        if (refusal.empty()) {
            handshakes_[keyOf(address, remotePort, localPort)] = Clock::now();
        } else {
            uncount(address);
        }
    }
    if (refusal.empty()) return;
    ++refused_;
    const bool shut = shutDownSocket(localPort, remotePort);
    logLimited("refused", address, "refused connection from " + address + ":" + std::to_string(remotePort) + " in its handshake: " +
                                       refusal + (shut ? "" : " (socket not found)"));
}

void ConnectionGuard::handshakeEnded(const std::string& address, int localPort, int remotePort) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handshakes_.erase(keyOf(address, remotePort, localPort)) > 0) uncount(address);
}

void ConnectionGuard::forget(const WatchedConnection& observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    uncount(observer.address);
    auto c = connections_.find(observer.key);
    if (c != connections_.end() && (c->second.expired() || c->second.lock().get() == &observer)) connections_.erase(c);
}

std::shared_ptr<Ice::Instrumentation::ConnectionObserver> ConnectionGuard::getConnectionObserver(
    const std::shared_ptr<Ice::ConnectionInfo>& info, const std::shared_ptr<Ice::Endpoint>&,
    Ice::Instrumentation::ConnectionState state,
    const std::shared_ptr<Ice::Instrumentation::ConnectionObserver>& old) {
    auto mine = std::dynamic_pointer_cast<WatchedConnection>(old);
    if (!info || !info->incoming) return old;
    if (state == Ice::Instrumentation::ConnectionState::ConnectionStateClosed) {
        if (mine && mine->counted) {
            mine->counted = false;
            forget(*mine);
        }
        return old;
    }
    if (mine) return mine;
    auto ip = ipInfo(info);
    if (!ip) return old;
    const std::string peer = ip->remoteAddress + ":" + std::to_string(ip->remotePort);
    mine = std::make_shared<WatchedConnection>(*this, ip->remoteAddress, peer,
                                      keyOf(ip->remoteAddress, ip->remotePort, ip->localPort), ip->localPort,
                                      ip->remotePort);
    mine->counted = true;
    const std::string refusal = admit(ip->remoteAddress);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections_[mine->key] = mine;
    }
    if (!refusal.empty()) {
        ++refused_;
        mine->closing = true;
        const bool shut = shutDownSocket(ip->localPort, ip->remotePort);
        logLimited("refused", ip->remoteAddress, "refused connection from " + peer + ": " + refusal + (shut ? "" : " (socket not found)"));
    }
    return mine;
}

std::shared_ptr<Ice::Instrumentation::DispatchObserver> ConnectionGuard::getDispatchObserver(
    const Ice::Current& current, int) {
    if (!current.con) return nullptr;
    std::shared_ptr<Ice::IPConnectionInfo> ip;
    try {
        ip = ipInfo(current.con->getInfo());
    } catch (const Ice::LocalException&) {
        return nullptr;  // closed meanwhile
    }
    if (!ip) return nullptr;
    std::shared_ptr<WatchedConnection> connection;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = connections_.find(keyOf(ip->remoteAddress, ip->remotePort, ip->localPort));
        if (it != connections_.end()) connection = it->second.lock();
    }
    return connection ? std::make_shared<RequestObserver>(std::move(connection)) : nullptr;
}

void ConnectionGuard::watchIdle() {
    const auto period = std::min<Clock::duration>(limits_.requestIdle / 4, std::chrono::seconds(1));
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, period, [this] { return stopping_; })) {
        lock.unlock();
        closeIdle(Clock::now());
        lock.lock();
    }
}

void ConnectionGuard::closeIdle(Clock::time_point now) {
    std::vector<std::shared_ptr<WatchedConnection>> idle;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A handshake whose end was never seen (Ice ends every one within the
        // handshake time-out) must not hold its count for ever.
        for (auto it = handshakes_.begin(); it != handshakes_.end();) {
            if (now - it->second > limits_.handshakeTimeout + std::chrono::seconds(10)) {
                uncount(it->first.substr(0, it->first.rfind(':', it->first.rfind(':') - 1)));
                it = handshakes_.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& c : connections_) {
            auto o = c.second.lock();
            if (o && o->dispatching == 0 && !o->closing && o->sinceRequest(now) >= limits_.requestIdle) idle.push_back(o);
        }
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limits_.requestIdle).count();
    for (const auto& o : idle) {
        if (o->closing.exchange(true)) continue;
        if (shutDownSocket(o->localPort, o->remotePort)) {
            logLimited("idle", o->address, "closed connection from " + o->peer + ": no request for " + std::to_string(seconds) + " s");
        }
    }
}

}  // namespace logserver
