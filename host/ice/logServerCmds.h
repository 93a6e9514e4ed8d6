// Command ids of the log server's protocol (LogServer.ice carries them as the
// cmdId of sendCmd). A connection answers each command with a signal: the
// command id on success, the id + kCmdFailedOffset on failure.
#pragma once

#include "NQConnection.h"  // kCmdFailedOffset

namespace NQBase {

constexpr int kCmdReportLog = 11047;     // json empty; data: zlib(error-log text)
constexpr int kCmdReportDetail = 11048;  // {"confId": int, "filename": "folder/name.log"}
constexpr int kCmdReportDump = 11049;    // {"info": {...}}
constexpr int kCmdReportUser = 11050;    // userReport object; data: zlib(attachment list)

}  // namespace NQBase
