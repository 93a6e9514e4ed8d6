#include "worker/logReportThrdObj.h"
namespace NQBase {
void logReportThrdObj::submit_userReport(const userReportData&) {}
}  // namespace NQBase
