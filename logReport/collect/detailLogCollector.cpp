#include "worker/logReportThrdObj.h"
namespace NQBase {
void logReportThrdObj::collect_detailLog() {}
void logReportThrdObj::report_detailPiece(const NQByteArray&) {}
std::string logReportThrdObj::detailLogFileName() const { return {}; }
}  // namespace NQBase
