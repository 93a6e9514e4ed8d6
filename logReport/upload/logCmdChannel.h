// What the upload cycle needs of a log-server connection, so that tests can
// stand in for the server.
#pragma once

#include <string>

#include "NQByteArray.h"
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

}  // namespace NQBase
