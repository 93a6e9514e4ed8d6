#include "worker/logReportThrdObj.h"
namespace NQBase {
void logReportThrdObj::collect_errLog() {}
}  // namespace NQBase
