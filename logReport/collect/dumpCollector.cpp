#include "worker/logReportThrdObj.h"
namespace NQBase {
void logReportThrdObj::scan_dumpFiles() {}
bool logReportThrdObj::parse_dumpFile(const std::string&, FatalLogInfo&) { return false; }
}  // namespace NQBase
