// User report submission: a user's problem report, stamped with the client's
// identity and the time, queued at once and followed by an upload step.
#include "NQTime.h"
#include "collect/logCollector.h"
#include "logRptLog.h"

namespace NQBase {

void logCollector::submit_userReport(const userReportData& data) {
    userReport record;
    record.version = identity.clientVer;
    record.client = identity.PCID;
    record.reportDate = FormatTimeStr(GetCurrentSystemTime() / 1000, true);
    record.contact = data.contact;
    record.content = data.content;
    record.attachments = data.attachments;
    const storeStatus status = sink.save_logSegment(segUserReport, record);
    if (status != storeStatus::ok) LOGRPT(3, "submit_userReport: report lost(%s)", storeStatusText(status));
}

}  // namespace NQBase
