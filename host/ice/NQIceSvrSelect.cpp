// NQIceSvrSelect over Ice: pings every candidate at once; the first answer
// wins and is handed over as a connected NQConnection. Each selection is a
// Round; a newer selection, cancleSelect or destruction makes older rounds
// stale, and a stale round emits nothing. Emission happens under Impl::mutex
// after that check, so nothing is emitted once cancleSelect has returned.

#include <cstdint>
#include <mutex>
#include <utility>

#include "../NQCommon.h"
#include "../NQConnection.h"
#include "iceRuntime.h"

namespace NQBase {
namespace {

constexpr int kSelected = 1;
constexpr int kNoneSelected = 0;

}  // namespace

struct NQIceSvrSelect::Impl {
    struct Round {
        uint64_t generation = 0;
        size_t pending = 0;  // candidates that have not answered yet
        bool decided = false;
    };

    std::mutex mutex;
    NQIceSvrSelect* owner = nullptr;
    uint64_t generation = 0;

    bool isCurrent(const Round& round) const {
        return owner != nullptr && round.generation == generation && !round.decided;
    }

    void candidateAnswered(const std::shared_ptr<Round>& round, const SvrDat& dat) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!isCurrent(*round)) return;
        round->decided = true;
        auto connection = std::make_shared<NQConnection>(NQConnection::Ice_Type, "NQConnection");
        connection->connectSvr(dat.svrProxy, true, "");
        auto* msg = new NQMsg(getMsgSN(), kSelected);
        msg->params["dat"].setCustom<SvrDat>(dat);
        msg->params["prx"].setCustom<std::shared_ptr<NQConnection>>(std::move(connection));
        owner->emitSignal(kSelected, msg);
    }

    void candidateFailed(const std::shared_ptr<Round>& round) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!isCurrent(*round) || --round->pending > 0) return;
        round->decided = true;
        owner->emitSignal(kNoneSelected, new NQMsg(getMsgSN(), kNoneSelected));
    }
};

NQIceSvrSelect::NQIceSvrSelect() : NQMsgObj("NQIceSvrSelect"), impl_(std::make_shared<Impl>()) {
    impl_->owner = this;
}

NQIceSvrSelect::~NQIceSvrSelect() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->owner = nullptr;
    ++impl_->generation;
}

void NQIceSvrSelect::selectServers(const std::list<SvrDat>& servers, int /*type*/) {
    auto round = std::make_shared<Impl::Round>();
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        round->generation = ++impl_->generation;
        round->pending = servers.size();
    }
    std::shared_ptr<Impl> impl = impl_;
    if (servers.empty()) {
        round->pending = 1;
        impl->candidateFailed(round);
        return;
    }
    // Started outside the lock: Ice may run a callback on this very thread.
    for (const SvrDat& dat : servers) {
        auto proxy = iceRuntime::makeProxy(dat.svrProxy);
        if (!proxy) {
            impl->candidateFailed(round);
            continue;
        }
        try {
            proxy->ice_pingAsync([impl, round, dat] { impl->candidateAnswered(round, dat); },
                                 [impl, round, dat](std::exception_ptr error) {
                                     // A server refused for its certificate is a failed
                                     // candidate like any other, but the operator needs
                                     // to know why.
                                     std::string why = iceRuntime::refusal(error);
                                     if (!why.empty()) {
                                         NQSDKCommonLog(2, "NQCommunicate", "NQIceSvrSelect: %s refused: %s",
                                                        dat.svrProxy.c_str(), why.c_str());
                                     }
                                     impl->candidateFailed(round);
                                 });
        } catch (...) {
            impl->candidateFailed(round);
        }
    }
}

void NQIceSvrSelect::cancleSelect() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    ++impl_->generation;
}

}  // namespace NQBase
