#include "handshakeLog.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace logserver {
namespace {

const char kFailedAccept[] = "failed to accept ";
const char kRemote[] = "remote address = ";

std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    const auto e = s.find_last_not_of(" \t:");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

HandshakeLog::HandshakeLog(std::shared_ptr<Ice::Logger> next, bool forwardNetwork, LogLine log, HandshakeEvent started,
                           HandshakeEvent ended)
    : next_(std::move(next)), shared_(std::make_shared<Shared>()) {
    shared_->forwardNetwork = forwardNetwork;
    shared_->log = std::move(log);
    shared_->started = std::move(started);
    shared_->ended = std::move(ended);
}

bool HandshakeLog::peerOf(const std::string& message, Peer& peer) {
    auto portAfter = [&message](const char* label, std::string* address) {
        const auto at = message.find(label);
        if (at == std::string::npos) return -1;
        const auto start = at + std::strlen(label);
        const std::string hostPort = message.substr(start, message.find('\n', start) - start);
        const auto colon = hostPort.rfind(':');
        if (colon == std::string::npos) return -1;
        if (address != nullptr) *address = hostPort.substr(0, colon);
        return std::atoi(hostPort.c_str() + colon + 1);
    };
    peer.localPort = portAfter("local address = ", nullptr);
    peer.remotePort = portAfter(kRemote, &peer.address);
    return peer.localPort > 0 && peer.remotePort > 0;
}

std::shared_ptr<Ice::Logger> HandshakeLog::cloneWithPrefix(const std::string& prefix) {
    return std::shared_ptr<Ice::Logger>(new HandshakeLog(next_->cloneWithPrefix(prefix), shared_));
}

// Ice writes "failed to accept ssl connection", the addresses, then the
// exception: its source location and type on one line, its text below.
std::string HandshakeLog::refusalOf(const std::string& message, std::string& address) {
    if (message.rfind(kFailedAccept, 0) != 0) return {};
    const std::string protocol = message.substr(sizeof kFailedAccept - 1, message.find(' ', sizeof kFailedAccept - 1) -
                                                                              (sizeof kFailedAccept - 1));
    std::istringstream lines(message);
    std::string peer, reason;
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(kRemote);
        if (at != std::string::npos && peer.empty()) {
            peer = trimmed(line.substr(at + sizeof kRemote - 1));
        } else if (reason.empty() && line.find("::Ice::") != std::string::npos) {
            reason = trimmed(line.substr(line.find("::Ice::") + 7));
        }
    }
    const auto colon = peer.rfind(':');
    address = colon == std::string::npos ? peer : peer.substr(0, colon);
    return "refused " + protocol + " connection from " + (peer.empty() ? "?" : peer) + ": " +
           (reason.empty() ? "failed before it was set up" : reason + " before it was set up");
}

void HandshakeLog::trace(const std::string& category, const std::string& message) {
    if (category != "Network") {
        next_->trace(category, message);
        return;
    }
    if (shared_->forwardNetwork) next_->trace(category, message);
    const bool starts = message.rfind("trying to accept ", 0) == 0;
    const bool ends = message.rfind("accepted ", 0) == 0 || message.rfind(kFailedAccept, 0) == 0;
    Peer peer;
    if ((starts || ends) && peerOf(message, peer)) {
        const HandshakeEvent& event = starts ? shared_->started : shared_->ended;
        if (event) event(peer);
    }
    std::string address;
    const std::string line = refusalOf(message, address);
    if (line.empty()) return;
    uint64_t held = 0;
    if (!shared_->lines.due(address, AddressLogLimiter::Clock::now(), held)) return;
    shared_->log(held == 0 ? line : line + " (and " + std::to_string(held) + " more from " + address + " since its last line)");
}

}  // namespace logserver
