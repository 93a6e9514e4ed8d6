#include "worker/logReportThrdObj.h"
namespace NQBase {
void logReportThrdObj::startLogSvrSelect() {}
void logReportThrdObj::slot_logSvrSelectFailed() {}
void logReportThrdObj::slot_logSvrSelected(const std::shared_ptr<NQMsg>&, const NQMsgObj*) {}
void logReportThrdObj::dropLogSvrConnection() {}
void logReportThrdObj::connectReportSlots() {}
}  // namespace NQBase
