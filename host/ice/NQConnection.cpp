// NQConnection over Ice: each sendCmd is one asynchronous Log::ClientLogServer
// call; its answer is emitted as a signal from the Ice thread that received it.
//
// The Ice callbacks hold the shared Impl, never the NQConnection: the
// connection may be destroyed (or disconnected) while a call is in flight.
// Impl::owner is cleared by the destructor and every emission happens under
// Impl::mutex after checking the owner and the generation, so no answer
// reaches anyone after disconnectSvr or destruction.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include <LogServer.h>

#include "../NQConnection.h"
#include "iceRuntime.h"

namespace NQBase {
namespace {

// Each NQConnection gets an Ice connection of its own, so that a call still in
// flight on a dropped connection never shares a wire with its successor's.
std::string nextConnectionId() {
    static std::atomic<uint64_t> counter{0};
    return "NQConnection-" + std::to_string(++counter);
}

// The cookie's entries travel as the request context, each value as text,
// beside the operator's organisation token. The cookie itself never carries
// the token, so it cannot reach the answer or a log line.
Ice::Context contextFromCookie(const NQVariant& cookie, const std::string& token) {
    Ice::Context context;
    for (const auto& entry : cookie.toMap()) {
        switch (entry.second.type()) {
            case NQVariant::Int: context[entry.first] = std::to_string(entry.second.toInt()); break;
            case NQVariant::String: context[entry.first] = entry.second.toString(); break;
            default: break;  // maps and custom data have no text form
        }
    }
    if (!token.empty()) context["Token"] = token;
    return context;
}

NQMsg* answerMsg(int signalId, const NQVariant& cookie) {
    auto* msg = new NQMsg(getMsgSN(), signalId);
    msg->params["Cookie"] = cookie;
    return msg;
}

}  // namespace

struct NQConnection::Impl {
    std::mutex mutex;
    NQConnection* owner = nullptr;
    uint64_t generation = 0;  // bumped by every connect and disconnect
    std::shared_ptr<Log::ClientLogServerPrx> proxy;
    std::string proxyText;

    // Emits the answer unless the call belongs to an earlier generation or the
    // connection is gone.
    void answer(uint64_t callGeneration, int signalId, NQMsg* msg) {
        std::lock_guard<std::mutex> lock(mutex);
        if (owner == nullptr || callGeneration != generation) {
            delete msg;
            return;
        }
        owner->emitSignal(signalId, msg);
    }
};

NQConnection::NQConnection(int /*type*/, const std::string& name) : NQMsgObj(name), impl_(std::make_shared<Impl>()) {
    impl_->owner = this;
}

NQConnection::~NQConnection() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->owner = nullptr;
    ++impl_->generation;
    impl_->proxy.reset();
}

bool NQConnection::connectSvr(const std::string& proxy, bool /*reserved1*/, const std::string& /*reserved2*/) {
    auto base = iceRuntime::makeProxy(proxy);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    ++impl_->generation;
    impl_->proxyText = proxy;
    impl_->proxy = base ? Ice::uncheckedCast<Log::ClientLogServerPrx>(base->ice_connectionId(nextConnectionId()))
                        : nullptr;
    return impl_->proxy != nullptr;
}

void NQConnection::disconnectSvr() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    ++impl_->generation;
    impl_->proxy.reset();
}

void NQConnection::sendCmd(int cmdId, const std::string& json, const NQByteArray& data, const NQVariant& cookie,
                           int /*reserved*/) {
    std::shared_ptr<Log::ClientLogServerPrx> proxy;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        proxy = impl_->proxy;
        generation = impl_->generation;
    }
    const int failureId = cmdId + kCmdFailedOffset;
    std::shared_ptr<Impl> impl = impl_;
    if (!proxy) {
        NQMsg* msg = answerMsg(failureId, cookie);
        msg->params["ErrDesc"] = "not connected";
        impl->answer(generation, failureId, msg);
        return;
    }
    // The generated call takes a vector; the copy also frees the call from the
    // caller's buffer, which may be a view over bytes it owns.
    const auto* begin = reinterpret_cast<const Ice::Byte*>(data.constData());
    Ice::ByteSeq bytes(begin, begin + data.size());
    auto onSuccess = [impl, generation, cmdId, cookie] { impl->answer(generation, cmdId, answerMsg(cmdId, cookie)); };
    auto onFailure = [impl, generation, failureId, cookie](std::exception_ptr error) {
        NQMsg* msg = answerMsg(failureId, cookie);
        msg->params["ErrDesc"] = iceRuntime::describe(error);
        impl->answer(generation, failureId, msg);
    };
    try {
        proxy->sendCmdAsync(cmdId, json, bytes, onSuccess, onFailure, nullptr, contextFromCookie(cookie, iceRuntime::token()));
    } catch (...) {
        onFailure(std::current_exception());
    }
}

const std::string& NQConnection::proxyText() const {
    return impl_->proxyText;
}

}  // namespace NQBase
