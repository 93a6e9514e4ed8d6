// The messages between NQLogReport and its worker object, and the way another
// component of the client hands the worker a user report.
#pragma once

#include <list>
#include <string>

#include "NQByteArray.h"
#include "NQMsg.h"
#include "NQMsgObj.h"
#include "logReportExport.h"

namespace NQBase {

enum LogRptMsgType {
    MSG_INIT = 1,         // "appName", "clientVer", "PCID": string; "timeoutMs": int
    MSG_LOGSVRINFO = 2,   // "logSvrInfo": string
    MSG_LOCIP = 3,        // "locIP": string
    MSG_MEETID = 4,       // "meetID": int
    MSG_NICKNAME = 5,     // "nikeName": string (spelled so)
    MSG_COMPID = 6,       // "compID": string
    MSG_LOGGER = 7,       // "logger": custom NQLog*
    MSG_STARTREPORT = 8,
    MSG_STOPREPORT = 9,
    MSG_USERREPORT = 10,  // "udat": custom userReportData
    MSG_LASTERRREP = 11,
    MSG_UNINIT = 12,
};

// Name under which the worker object is registered with the runtime.
inline constexpr const char* kLogReportWorkerName = "logReportThrdObj";

// One item attached to a user report.
struct LOGREPORT_API reportAttachment {
    std::string name;
    std::string text;
    NQByteArray data;

    // The report file's encoding: text name, text text, byte array data.
    void write(std::ostream& out) const;
    void read(std::istream& in);
};

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
    msg->params["udat"].setCustom(report);
    return postMsgToNamed(kLogReportWorkerName, msg);
}

}  // namespace NQBase
