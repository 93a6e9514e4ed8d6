// User report submission: a user's problem report, stamped with the client's
// identity and the time, queued at once and followed by an upload step.
#include "NQTime.h"
#include "worker/logReportThrdObj.h"

namespace NQBase {

void logReportThrdObj::submit_userReport(const userReportData& data) {
    if (!rptFile.isOpen()) return;
    userReport record;
    record.version = clientVer;
    record.client = PCID;
    record.reportDate = FormatTimeStr(GetCurrentSystemTime() / 1000, true);
    record.contact = data.contact;
    record.content = data.content;
    record.attachments = data.attachments;
    save_logSegment(segUserReport, record);
    slot_runReport();
}

}  // namespace NQBase
