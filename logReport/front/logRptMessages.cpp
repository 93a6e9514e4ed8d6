#include "front/logRptMessages.h"

#include "NQMsg.h"
#include "NQMsgObj.h"
#include "NQThread.h"

namespace NQBase {

void postWorkerMsg(NQThread* workerThread, int type,
                   std::initializer_list<std::pair<const char*, NQVariant>> params) {
    NQMsgObj* worker = workerThread->getThreadObj();
    if (worker == nullptr) return;
    // Recycled storage: the client thread does not allocate what the worker frees.
    NQMsg* msg = newRecycledMsg(getMsgSN(), type);
    for (const auto& param : params) setMsgParam(msg, param.first, param.second);
    worker->postMsg(msg, worker);
}

}  // namespace NQBase
