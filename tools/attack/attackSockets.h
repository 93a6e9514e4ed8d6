// Raw loopback sockets as an attacker holds them, shared by logreport-attack
// and the server's attack tests: connecting from a chosen source address,
// Ice's heartbeat, the start of a TLS ClientHello, and a process's peak memory.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>
#include <sys/types.h>

namespace attack {

// An Ice validate-connection message: what a client's heartbeat is (14 bytes).
constexpr char kIceHeartbeat[14] = {'I', 'c', 'e', 'P', 1, 0, 1, 0, 3, 0, 14, 0, 0, 0};
// A TLS record header announcing a 512-byte handshake, and the first bytes of
// a ClientHello: the server waits for the rest of the record.
constexpr char kHalfClientHello[7] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00};

// A socket connected to 127.0.0.1:port from source (another loopback
// address stands in for another client address), or -1 with errno set.
inline int connectTo(int port, const char* source = nullptr) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (source != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return -1;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// Whether the server has closed fd (end of stream or reset); reads and drops
// what it sent meanwhile.
inline bool closedByServer(int fd) {
    char buf[512];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

// A process's peak resident memory (VmHWM) in KiB, or -1 once it is gone.
inline long peakRssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

}  // namespace attack
