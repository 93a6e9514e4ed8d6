#include "connectionGuard.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace logserver {
namespace {

int portOf(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return -1;
}

// Shuts down the process's socket with these ports. Called while Ice holds
// the connection's lock, so the socket cannot be closed and reused meanwhile.
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

std::shared_ptr<Ice::IPConnectionInfo> ipInfo(std::shared_ptr<Ice::ConnectionInfo> info) {
    for (; info; info = info->underlying) {
        if (auto ip = std::dynamic_pointer_cast<Ice::IPConnectionInfo>(info)) return ip;
    }
    return nullptr;
}

}  // namespace

// One per incoming connection; reports why Ice dropped it.
class ConnectionGuard::Observer : public Ice::Instrumentation::ConnectionObserver {
public:
    Observer(ConnectionGuard& guard, std::string peer) : guard_(guard), peer_(std::move(peer)) {}
    void attach() override {}
    void detach() override {}
    void sentBytes(int) override {}
    void receivedBytes(int) override {}
    void failed(const std::string& exceptionName) override {
        if (exceptionName.find("MemoryLimitException") != std::string::npos) {
            guard_.log_("refused a request from " + peer_ +
                        ": larger than --max-message-mb (" + exceptionName + "), connection closed");
        } else if (exceptionName.find("ProtocolException") != std::string::npos ||
                   exceptionName.find("MarshalException") != std::string::npos ||
                   exceptionName.find("Compression") != std::string::npos ||
                   exceptionName.find("IllegalMessageSize") != std::string::npos) {
            guard_.log_("refused a request from " + peer_ + ": " + exceptionName + ", connection closed");
        }
    }
    bool counted = false;

private:
    ConnectionGuard& guard_;
    std::string peer_;
};

ConnectionGuard::ConnectionGuard(int maxConnections, LogLine log) : max_(maxConnections), log_(std::move(log)) {}

std::shared_ptr<Ice::Instrumentation::ConnectionObserver> ConnectionGuard::getConnectionObserver(
    const std::shared_ptr<Ice::ConnectionInfo>& info, const std::shared_ptr<Ice::Endpoint>&,
    Ice::Instrumentation::ConnectionState state,
    const std::shared_ptr<Ice::Instrumentation::ConnectionObserver>& old) {
    auto mine = std::dynamic_pointer_cast<Observer>(old);
    if (!info || !info->incoming) return old;
    if (state == Ice::Instrumentation::ConnectionState::ConnectionStateClosed) {
        if (mine && mine->counted) {
            mine->counted = false;
            --open_;
        }
        return old;
    }
    if (mine) return mine;
    auto ip = ipInfo(info);
    const std::string peer = ip ? ip->remoteAddress + ":" + std::to_string(ip->remotePort) : std::string("?");
    mine = std::make_shared<Observer>(*this, peer);
    mine->counted = true;
    const int now = ++open_;
    if (now > max_ && ip) {
        ++refused_;
        const bool shut = shutDownSocket(ip->localPort, ip->remotePort);
        log_("refused connection from " + peer + ": " + std::to_string(now - 1) + " connections open, limit " +
             std::to_string(max_) + (shut ? "" : " (socket not found)"));
    }
    return mine;
}

}  // namespace logserver
