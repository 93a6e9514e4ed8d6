// The real logreport-server on a free loopback port, and loopback sockets
// standing in for a refused port and a hung server (server and ice tests).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "serverProcess.h"
#include "testSupport.h"

namespace testserver {

inline std::string proxyFor(int port) { return "Log.ClientLogServer:tcp -h 127.0.0.1 -p " + std::to_string(port); }

// Bound to a port of the system's choice, so no other test can take it: not
// listening, connecting is refused; listening, the kernel accepts but nothing answers.
class LoopbackSocket {
public:
    explicit LoopbackSocket(bool listening) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_EQ(0, ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len));
        if (listening) ::listen(fd_, 16);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~LoopbackSocket() { ::close(fd_); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    int port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
};

// A fixed node name, so that stored names do not depend on the host's name.
inline std::vector<std::string> withNode(std::vector<std::string> args) {
    args.insert(args.begin(), {"--node", "n1"});
    return args;
}

// Started (up to its "listening" line) by the constructor, stopped by the destructor.
struct RunningServer : testsupport::ServerProcess {
    explicit RunningServer(const std::string& storeDir, std::vector<std::string> args = {})
        : ServerProcess(LOGREPORT_SERVER_BIN, storeDir, testsupport::freeLoopbackPort(), withNode(std::move(args))) {
        EXPECT_TRUE(start()) << "logreport-server did not start";
    }
    std::string proxy() const { return proxyFor(port()); }
};

// The files of a folder that end in suffix, in name order, one after the
// other: a client's error log over its days, the index over its days.
inline std::string joinedFiles(const std::string& folder, const std::string& suffix) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = e.path().string();
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.insert(name);
    }
    std::string all;
    for (const auto& name : names) all += testsupport::readFile(name);
    return all;
}

}  // namespace testserver
