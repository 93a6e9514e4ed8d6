#pragma once

#include "NQMsgObj.h"

namespace NQBase {

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

}  // namespace NQBase
