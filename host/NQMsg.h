// NQMsg: one message. The poster allocates it with new; postMsg and emit take
// ownership; handlers receive it as a shared pointer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "NQPlatform.h"
#include "NQVariant.h"

namespace NQBase {

struct NQHOST_API NQMsg {
    NQMsg() = default;
    NQMsg(int32_t sn, int32_t type) : serialNumber(sn), typeId(type) {}
    virtual ~NQMsg();

    int32_t serialNumber = 0;
    int32_t typeId = 0;
    int64_t wParam = 0;
    int64_t lParam = 0;
    NQVariantMap params;
};

// Serial number for a new message; distinct and increasing, any thread.
NQHOST_API int32_t getMsgSN();

// A message like `new NQMsg(sn, type)` whose storage is recycled: once its
// handler is done (postMsg), the object and the nodes of its parameters go
// back to a shared pool instead of being freed on the receiving thread, so a
// thread posting in bursts does not meet the receiving one at the allocator.
// Posted, handled and deleted like any other message.
NQHOST_API NQMsg* newRecycledMsg(int32_t sn, int32_t type);
// msg->params[key] = value, taking a recycled node when msg has one.
NQHOST_API void setMsgParam(NQMsg* msg, const std::string& key, const NQVariant& value);

}  // namespace NQBase
