// Connection services of a build without a transport (the Windows test build,
// where no Ice is at hand). Every selection fails, and every command is answered
// at once with its failure signal, so the caller's queue is kept, never emptied.
// The answers are emitted like a real connection's: delivered later, on the
// receiver's thread.

#include <mutex>
#include <string>

#include "../NQCommon.h"
#include "../NQConnection.h"

namespace NQBase {
namespace {

constexpr int kNoneSelected = 0;
const char kModule[] = "NQCommunicate";
const char kNoTransport[] = "this build has no transport";

}  // namespace

void InitNQConnectionMgr(int timeoutMs) {
    // The same warning as with a transport: the time-out is the caller's setting either way.
    if (timeoutMs <= 0)
        NQSDKCommonLog(2, kModule, "InitNQConnectionMgr: no time-out: a server that does not answer keeps its call waiting");
    NQSDKCommonLog(2, kModule, "InitNQConnectionMgr: %s: no log server can be reached", kNoTransport);
}

void UninitNQConnectionMgr() {}

struct NQConnection::Impl {
    std::mutex mutex;
    std::string proxyText;
};

NQConnection::NQConnection(int /*type*/, const std::string& name) : NQMsgObj(name), impl_(std::make_shared<Impl>()) {}

NQConnection::~NQConnection() = default;

bool NQConnection::connectSvr(const std::string& proxy, bool /*reserved1*/, const std::string& /*reserved2*/) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->proxyText = proxy;
    return false;
}

void NQConnection::disconnectSvr() {}

void NQConnection::sendCmd(int cmdId, const std::string& /*json*/, const NQByteArray& /*data*/, const NQVariant& cookie,
                           int /*reserved*/) {
    const int failureId = cmdId + kCmdFailedOffset;
    NQSDKCommonLog(2, kModule, "sendCmd %d: %s", cmdId, kNoTransport);
    auto* msg = new NQMsg(getMsgSN(), failureId);
    msg->params["Cookie"] = cookie;
    msg->params["ErrDesc"] = kNoTransport;
    emitSignal(failureId, msg);
}

const std::string& NQConnection::proxyText() const { return impl_->proxyText; }

struct NQIceSvrSelect::Impl {};

NQIceSvrSelect::NQIceSvrSelect() : NQMsgObj("NQIceSvrSelect"), impl_(std::make_shared<Impl>()) {}

NQIceSvrSelect::~NQIceSvrSelect() = default;

void NQIceSvrSelect::selectServers(const std::list<SvrDat>& servers, int /*type*/) {
    NQSDKCommonLog(2, kModule, "selectServers (%d candidates): %s", static_cast<int>(servers.size()), kNoTransport);
    emitSignal(kNoneSelected, new NQMsg(getMsgSN(), kNoneSelected));
}

void NQIceSvrSelect::cancleSelect() {}

}  // namespace NQBase
