#include "worker/logReportThrdObj.h"
namespace NQBase {
void logReportThrdObj::open_rptFile() {}
void logReportThrdObj::load_logHeader() {}
bool logReportThrdObj::save_logSegment(int, const streamObj&) { return false; }
void logReportThrdObj::confirm_logSegment() {}
void logReportThrdObj::write_logHeader() {}
void logReportThrdObj::reset_rptFile() {}
}  // namespace NQBase
