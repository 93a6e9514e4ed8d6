// Connection services: the connection manager (one Ice communicator per
// process), a connection to one log server, and the server selector.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "NQByteArray.h"
#include "NQMsgObj.h"
#include "NQPlatform.h"
#include "NQVariant.h"

namespace NQBase {

// Reference counted. timeoutMs bounds every call and every connection attempt;
// 0 means no time-out (see docs/OPERATORS.md).
NQHOST_API void InitNQConnectionMgr(int timeoutMs);
NQHOST_API void UninitNQConnectionMgr();

// The signal of a failed command is its id plus this.
constexpr int kCmdFailedOffset = 10000;

// A connection to one log server. Emits, for each sendCmd, exactly one signal:
// cmdId on success, cmdId + kCmdFailedOffset on failure, with "Cookie" (and "ErrDesc" on
// failure). Nothing is emitted after disconnectSvr.
class NQHOST_API NQConnection : public NQMsgObj {
public:
    enum { Ice_Type = 2 };

    NQConnection(int type, const std::string& name);
    ~NQConnection() override;

    // proxy: a stringified Ice proxy. Returns false when the text is unusable or
    // the manager is not initialised.
    bool connectSvr(const std::string& proxy, bool reserved1, const std::string& reserved2);
    void disconnectSvr();
    // Returns at once; the answer comes later as a signal.
    void sendCmd(int cmdId, const std::string& json, const NQByteArray& data, const NQVariant& cookie, int reserved);
    const std::string& proxyText() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

// Probes candidate servers at once; the first to answer wins. Emits signal 1
// with "dat" (custom SvrDat) and "prx" (custom std::shared_ptr<NQConnection>,
// connected), or signal 0 when none answers within the time-out. Nothing is
// emitted after cancleSelect.
class NQHOST_API NQIceSvrSelect : public NQMsgObj {
public:
    struct NQHOST_API SvrDat {
        int svrIndex = 0;
        std::string svrProxy;
        NQVariantMap svrInfo;
    };

    NQIceSvrSelect();
    ~NQIceSvrSelect() override;

    void selectServers(const std::list<SvrDat>& servers, int type);
    void cancleSelect();

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace NQBase
