// What the upload cycle needs of a log-server connection, so that tests can
// stand in for the server.
#pragma once

#include <memory>
#include <string>

#include "NQByteArray.h"
#include "NQConnection.h"
#include "NQVariant.h"

namespace NQBase {

class logCmdChannel {
public:
    virtual ~logCmdChannel() = default;
    // Returns at once; exactly one answer follows on the worker thread, unless
    // the channel is destroyed first: nothing arrives after that.
    virtual void sendCmd(int cmdId, const std::string& json, const NQByteArray& data, const NQVariant& cookie) = 0;
    // Ends the connection for every owner: a dropped server is not used again.
    // Destroying a channel without this only gives up this owner's share.
    virtual void disconnect() = 0;
};

// The receiving side of the upload: the message object whose slots take the
// selector's results and the connection's answers, and on whose loop the
// retry timer ticks. The worker is one.
class logUploadReceiver : public NQMsgObj {
public:
    using NQMsgObj::NQMsgObj;
    // A new slot object, owned by the runtime once bound, that calls the
    // receiver's handler of a command's answer (success or failure) ...
    virtual NQMsgFuncBase* answerSlot(bool success) = 0;
    // ... or of the selector's result (a server selected, or none answered).
    virtual NQMsgFuncBase* selectSlot(bool selected) = 0;
};

// A channel over a connected NQConnection: answers reach the receiver's
// slots for as long as the channel lives; destroying it unbinds them and
// releases the channel's share of the connection.
class iceCmdChannel final : public logCmdChannel {
public:
    iceCmdChannel(std::shared_ptr<NQConnection> connected, logUploadReceiver& answerReceiver);
    ~iceCmdChannel() override;
    iceCmdChannel(const iceCmdChannel&) = delete;
    iceCmdChannel& operator=(const iceCmdChannel&) = delete;
    void sendCmd(int cmdId, const std::string& json, const NQByteArray& data, const NQVariant& cookie) override;
    void disconnect() override;

private:
    std::shared_ptr<NQConnection> logSvrConn;
    logUploadReceiver& receiver;
};

}  // namespace NQBase
