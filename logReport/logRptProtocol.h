// The messages between NQLogReport and its worker object, and the way another
// component of the client hands the worker a user report.
#pragma once

#include <list>
#include <string>

#include "NQMsg.h"
#include "NQMsgObj.h"
#include "reportAttachment.h"

namespace NQBase {

enum LogRptMsgType {
    MSG_INIT = 1,         // kKeyAppName, kKeyClientVer, kKeyPCID: string; kKeyTimeoutMs: int
    MSG_LOGSVRINFO = 2,   // kKeyLogSvrInfo: string
    MSG_LOCIP = 3,        // kKeyLocIP: string
    MSG_MEETID = 4,       // kKeyMeetID: int
    MSG_NICKNAME = 5,     // kKeyNickName: string
    MSG_COMPID = 6,       // kKeyCompID: string
    MSG_LOGGER = 7,       // kKeyLogger: custom NQLog*
    MSG_STARTREPORT = 8,
    MSG_STOPREPORT = 9,
    MSG_USERREPORT = 10,  // kKeyUserReport: custom userReportData
    MSG_LASTERRREP = 11,
    MSG_UNINIT = 12,
};

// The messages' parameter keys.
inline constexpr char kKeyAppName[] = "appName";
inline constexpr char kKeyClientVer[] = "clientVer";
inline constexpr char kKeyPCID[] = "PCID";
inline constexpr char kKeyTimeoutMs[] = "timeoutMs";
inline constexpr char kKeyLogSvrInfo[] = "logSvrInfo";
inline constexpr char kKeyLocIP[] = "locIP";
inline constexpr char kKeyMeetID[] = "meetID";
inline constexpr char kKeyNickName[] = "nikeName";  // not "nickName": the key message 5 has always carried
inline constexpr char kKeyCompID[] = "compID";
inline constexpr char kKeyLogger[] = "logger";
inline constexpr char kKeyUserReport[] = "udat";

// Name under which the worker object is registered with the runtime.
inline constexpr const char* kLogReportWorkerName = "logReportThrdObj";

// The payload of message 10.
struct userReportData {
    std::string contact;
    std::string content;
    std::list<reportAttachment> attachments;
};

// Posts a user report to the running worker by name. Safe from any thread and
// against the worker's shutdown; returns false when no worker is running.
inline bool postUserReport(const userReportData& report) {
    NQMsg* msg = new NQMsg(getMsgSN(), MSG_USERREPORT);
    msg->params[kKeyUserReport].setCustom(report);
    return postMsgToNamed(kLogReportWorkerName, msg);
}

}  // namespace NQBase
