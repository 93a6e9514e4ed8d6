// NQMsg: one message. The poster allocates it with new; postMsg and emit take
// ownership; handlers receive it as a shared pointer.
#pragma once

#include <cstdint>
#include <memory>

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

}  // namespace NQBase
