#include "commandServant.h"

#include <chrono>
#include <future>
#include <iostream>
#include <memory>
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

// One command between its dispatch and its answer, which may go out from
// another thread. The connection's in-flight count is released before the
// answer, since the client may send its next command the moment it has it.
class CommandServant::PendingAnswer {
public:
    PendingAnswer(CommandServant& servant, std::unique_ptr<InFlightGuard> guard, std::function<void()> response,
                  std::function<void(std::exception_ptr)> exception)
        : servant_(servant), guard_(std::move(guard)), response_(std::move(response)), exception_(std::move(exception)) {
        std::lock_guard<std::mutex> lock(servant_.awaitingMutex_);
        ++servant_.awaiting_;
    }
    PendingAnswer(const PendingAnswer&) = delete;
    PendingAnswer& operator=(const PendingAnswer&) = delete;

    // Answers with failure, or with success when it is null. Called once;
    // after it the servant may be gone.
    void answer(std::exception_ptr failure) {
        guard_.reset();
        if (failure) exception_(failure);
        else response_();
        std::lock_guard<std::mutex> lock(servant_.awaitingMutex_);
        if (--servant_.awaiting_ == 0) servant_.answered_.notify_all();
    }

private:
    CommandServant& servant_;
    std::unique_ptr<InFlightGuard> guard_;
    std::function<void()> response_;
    std::function<void(std::exception_ptr)> exception_;
};

CommandServant::CommandServant(LogStore& store, ServantOptions options)
    : handler_(store, options.limits), options_(options) {}

CommandServant::~CommandServant() {
    std::unique_lock<std::mutex> lock(awaitingMutex_);
    answered_.wait(lock, [this] { return awaiting_ == 0; });
}

int CommandServant::awaitingCount() const {
    std::lock_guard<std::mutex> lock(awaitingMutex_);
    return awaiting_;
}

void CommandServant::delayAnswer() const {
    if (options_.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options_.delayMs));
}

void CommandServant::logBusy(const std::string& address, const std::string& what) {
    uint64_t held = 0;
    if (!busyLines_.due(address, AddressLogLimiter::Clock::now(), held)) return;
    std::string line = "refused " + what + ": " + kBusy;
    if (held > 0) line += " (and " + std::to_string(held) + " more from " + address + " since its last line)";
    printLine(true, line);
}

std::exception_ptr CommandServant::settle(const std::string& what, size_t bytes, const ReceiptWindow::Key& key,
                                          ReceiptWindow* receipts, const Outcome& out, const StoreFailure* failure) {
    if (failure != nullptr) {
        printLine(true, "refused " + what + ": " + failure->reason);
        return std::make_exception_ptr(Log::CommandFailed(failure->reason));
    }
    // Only what was stored: a quarantined command is not a stored entry,
    // and a failed one must be stored when it comes again.
    if (receipts != nullptr && out.rejected.empty()) receipts->remember(key, out.seq);
    std::string line = "seq " + formatSeq(out.seq) + " " + what + ": ";
    if (out.rejected.empty()) {
        line += "stored " + out.path;
    } else {
        line += "quarantined " + (out.path.empty() ? std::string("(bytes not kept: rejected/ is full)") : out.path) +
                " (" + out.rejected + ")";
    }
    line += " (" + std::to_string(bytes) + " -> " + std::to_string(out.inflated) + " bytes)";
    printLine(false, line);
    if (!out.rejected.empty()) printLine(true, "quarantined " + what + ": " + out.rejected);
    return nullptr;
}

void CommandServant::sendCmdAsync(int cmdId, std::string json, Ice::ByteSeq data, std::function<void()> response,
                                  std::function<void(std::exception_ptr)> exception, const Ice::Current& current) {
    Request req;
    req.cmdId = cmdId;
    req.peer = peerOf(current);
    req.cmdType = contextValue(current, "cmdType");
    req.json = std::move(json);
    req.data = data.data();
    req.size = data.size();
    auto guard = std::make_unique<InFlightGuard>(*this, current, req.peer);
    const uint64_t n = ++commands_;
    const std::string what = "cmd " + std::to_string(cmdId) + " " + req.cmdType + " from " + req.peer;
    ReceiptWindow::Key key{};
    ReceiptWindow* receipts = options_.receipts != nullptr && options_.receipts->enabled() ? options_.receipts : nullptr;
    try {
        if (shuttingDown_) throw StoreFailure{"shutting down"};
        if (options_.failEvery > 0 && n % static_cast<uint64_t>(options_.failEvery) == 0) {
            throw StoreFailure{"injected failure"};
        }
    } catch (const StoreFailure& e) {
        printLine(true, "refused " + what + ": " + e.reason);
        delayAnswer();
        throw Log::CommandFailed(e.reason);
    }
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
            // Released before the answer: the client may send its next
            // command the moment it has it.
            guard.reset();
            return response();
        }
    }
    // Held while the request's bytes are: until its index line is written.
    LargeRequestSlots::Ticket slot(options_.largeRequests, req.size);
    if (slot.refused()) {
        logBusy(addressOf(current), what);
        delayAnswer();
        throw Log::CommandFailed(kBusy);
    }
    auto pending = std::make_shared<PendingAnswer>(*this, std::move(guard), std::move(response), std::move(exception));
    // Starts the command; what to answer when it failed before its index line.
    auto start = [&](RequestHandler::Done done) -> std::exception_ptr {
        try {
            handler_.handleAsync(req, std::move(done));
        } catch (const StoreFailure& e) {
            return settle(what, req.size, key, receipts, Outcome{}, &e);
        }
        return nullptr;
    };
    if (options_.delayMs <= 0) {
        std::exception_ptr early = start([this, pending, what, size = req.size, key, receipts](
                                             const Outcome& out, const StoreFailure* failure) {
            pending->answer(settle(what, size, key, receipts, out, failure));
        });
        if (early) pending->answer(early);
        return;
    }
    // A server slowed on purpose (for tests) holds its dispatch thread for
    // the whole command and the delay, as a slow disk would.
    auto ended = std::make_shared<std::promise<std::exception_ptr>>();
    auto outcome = ended->get_future();
    std::exception_ptr failure = start([this, ended, what, size = req.size, key, receipts](
                                           const Outcome& out, const StoreFailure* failed) {
        ended->set_value(settle(what, size, key, receipts, out, failed));
    });
    if (!failure) failure = outcome.get();
    delayAnswer();
    pending->answer(failure);
}

}  // namespace logserver
