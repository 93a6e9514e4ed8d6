#include "worker/logReportThrdObj.h"
namespace NQBase {
void logReportThrdObj::slot_runReport() {}
bool logReportThrdObj::next_logSegment(logSegment&) { return false; }
void logReportThrdObj::slot_reportRspSuc(const std::shared_ptr<NQMsg>&, const NQMsgObj*) {}
void logReportThrdObj::slot_reportRspFailed(const std::shared_ptr<NQMsg>&, const NQMsgObj*) {}
}  // namespace NQBase
