// The real logreport-server started for a test on a free loopback port, and
// loopback sockets standing in for a refused port and a hung server.
// Header-only so that the server and connection tests can both use it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "serverProcess.h"

namespace testserver {

// A loopback socket bound to a port of the system's choice. Listening, it
// accepts connections (the kernel does) but never says a word: a hung server.
class LoopbackSocket {
public:
    explicit LoopbackSocket(bool listening) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0) return;
        if (listening) ::listen(fd_, 16);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~LoopbackSocket() { ::close(fd_); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// The log server's proxy text for a loopback port. A LoopbackSocket that is
// not listening gives a port where connecting is refused, and no other test
// can take it meanwhile.
inline std::string proxyFor(int port) {
    return "Log.ClientLogServer:tcp -h 127.0.0.1 -p " + std::to_string(port);
}

// Started by the constructor (which waits for its "listening" line), stopped
// by the destructor.
class RunningServer : public testsupport::ServerProcess {
public:
    RunningServer(const std::string& storeDir, std::vector<std::string> extraArgs = {})
        : ServerProcess(LOGREPORT_SERVER_BIN, storeDir, testsupport::freeLoopbackPort(), std::move(extraArgs)) {
        started_ = start();
    }
    bool started() const { return started_; }
    std::string proxy() const { return proxyFor(port()); }
    // Stops the server and returns everything it printed.
    std::string stopAndOutput() {
        stop();
        return output();
    }

private:
    bool started_ = false;
};

}  // namespace testserver
