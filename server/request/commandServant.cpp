#include "commandServant.h"

#include <chrono>
#include <iostream>
#include <thread>
#include <utility>

namespace logserver {
namespace {

const char kBusy[] = "busy: too many large commands at once, send again later";

std::string contextValue(const Ice::Current& current, const char* key) {
    auto it = current.ctx.find(key);
    return it == current.ctx.end() ? std::string() : it->second;
}

// Over ssl the IP information is in the underlying transport's info.
std::shared_ptr<Ice::IPConnectionInfo> ipInfoOf(const Ice::Current& current) {
    if (!current.con) return nullptr;
    try {
        for (auto info = current.con->getInfo(); info; info = info->underlying) {
            if (auto ip = std::dynamic_pointer_cast<Ice::IPConnectionInfo>(info)) return ip;
        }
    } catch (const Ice::LocalException&) {
        // The connection closed meanwhile: the peer stays unknown.
    }
    return nullptr;
}

}  // namespace

std::string peerOf(const Ice::Current& current) {
    auto ip = ipInfoOf(current);
    return ip ? ip->remoteAddress + ":" + std::to_string(ip->remotePort) : std::string();
}

std::string addressOf(const Ice::Current& current) {
    auto ip = ipInfoOf(current);
    return ip ? ip->remoteAddress : std::string();
}

void printLine(bool error, const std::string& line) {
    static std::mutex m;
    std::lock_guard<std::mutex> lock(m);
    (error ? std::cerr : std::cout) << line << std::endl;
}

// Counts commands in flight per connection; a second one while the first is
// still being handled means the client broke its one-at-a-time rule.
class CommandServant::InFlightGuard {
public:
    InFlightGuard(CommandServant& servant, const Ice::Current& current, const std::string& peer)
        : servant_(servant), key_(current.con.get()) {
        std::lock_guard<std::mutex> lock(servant_.inFlightMutex_);
        if (++servant_.inFlight_[key_] > 1) {
            ++servant_.violations_;
            printLine(true, "protocol violation: " + peer + " sent a command while another was in flight");
        }
    }
    ~InFlightGuard() {
        std::lock_guard<std::mutex> lock(servant_.inFlightMutex_);
        if (--servant_.inFlight_[key_] == 0) servant_.inFlight_.erase(key_);
    }
    InFlightGuard(const InFlightGuard&) = delete;
    InFlightGuard& operator=(const InFlightGuard&) = delete;

private:
    CommandServant& servant_;
    const Ice::Connection* key_;
};

CommandServant::CommandServant(LogStore& store, ServantOptions options)
    : handler_(store, options.limits), options_(options) {}

void CommandServant::logBusy(const std::string& address, const std::string& what) {
    uint64_t held = 0;
    if (!busyLines_.due(address, AddressLogLimiter::Clock::now(), held)) return;
    std::string line = "refused " + what + ": " + kBusy;
    if (held > 0) line += " (and " + std::to_string(held) + " more from " + address + " since its last line)";
    printLine(true, line);
}

void CommandServant::sendCmd(int cmdId, std::string json, Ice::ByteSeq data, const Ice::Current& current) {
    Request req;
    req.cmdId = cmdId;
    req.peer = peerOf(current);
    req.cmdType = contextValue(current, "cmdType");
    req.json = std::move(json);
    req.data = data.data();
    req.size = data.size();
    InFlightGuard guard(*this, current, req.peer);
    const uint64_t n = ++commands_;
    auto delayAnswer = [this] {
        if (options_.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options_.delayMs));
    };
    const std::string what = "cmd " + std::to_string(cmdId) + " " + req.cmdType + " from " + req.peer;
    try {
        if (shuttingDown_) throw StoreFailure{"shutting down"};
        if (options_.failEvery > 0 && n % static_cast<uint64_t>(options_.failEvery) == 0) {
            throw StoreFailure{"injected failure"};
        }
        ReceiptWindow::Key key{};
        ReceiptWindow* receipts = options_.receipts != nullptr && options_.receipts->enabled() ? options_.receipts : nullptr;
        if (receipts != nullptr) {
            key = ReceiptWindow::keyOf(options_.organisation, addressOf(current), cmdId, req.json, req.data, req.size,
                                       req.cmdType, contextValue(current, "TermID"));
            req.receipt = ReceiptWindow::hexOf(key);
            uint64_t storedSeq = 0;
            if (receipts->find(key, storedSeq)) {
                ++resends_;
                printLine(false, what + ": dropped a re-send of seq " + handler_.seqName(storedSeq) + " (" +
                                     std::to_string(req.size) + " bytes)");
                delayAnswer();
                return;
            }
        }
        LargeRequestSlots::Ticket slot(options_.largeRequests, req.size);
        if (slot.refused()) {
            logBusy(addressOf(current), what);
            delayAnswer();
            throw Log::CommandFailed(kBusy);
        }
        const Outcome out = handler_.handle(req);
        // Only what was stored: a quarantined command is not a stored entry,
        // and a failed one (thrown above) must be stored when it comes again.
        if (receipts != nullptr && out.rejected.empty()) receipts->remember(key, out.seq);
        std::string line = "seq " + formatSeq(out.seq) + " " + what + ": ";
        if (out.rejected.empty()) {
            line += "stored " + out.path;
        } else {
            line += "quarantined " + (out.path.empty() ? std::string("(bytes not kept: rejected/ is full)") : out.path) +
                    " (" + out.rejected + ")";
        }
        line += " (" + std::to_string(req.size) + " -> " + std::to_string(out.inflated) + " bytes)";
        printLine(false, line);
        if (!out.rejected.empty()) printLine(true, "quarantined " + what + ": " + out.rejected);
    } catch (const StoreFailure& e) {
        printLine(true, "refused " + what + ": " + e.reason);
        delayAnswer();
        throw Log::CommandFailed(e.reason);
    }
    delayAnswer();
}

}  // namespace logserver
