// The upload cycle: one command outstanding at a time, the oldest segment first.
// A success answer consumes the segment and sends the next at once; a failure
// drops the connection, selects again and pauses for the retry timer.
#include <sstream>
#include <stdexcept>

#include "NQCommon.h"
#include "NQCompress.h"
#include "NQTime.h"
#include "logRptLog.h"
#include "logServerCmds.h"
#include "upload/logRptUploader.h"

namespace NQBase {

namespace {

struct UploadCommand {
    int cmdId = 0;
    const char* cmdType = "";
    std::string json;
    NQByteArray data;
};

NQVariant makeCookie(const char* cmdType) {
    NQVariantMap cookie;
    cookie["TermID"] = 0;
    cookie["cmdType"] = cmdType;
    return NQVariant(cookie);
}

// Reads a text parameter of an answer; answers always carry their keys, but a
// malformed one must not take the worker thread down.
std::string answerText(const std::shared_ptr<NQMsg>& msg, const char* key, const char* inner = nullptr) {
    if (!msg) return {};
    try {
        const NQVariant& value = msg->params.at(key);
        return inner != nullptr ? value.toMap().at(inner).toString() : value.toString();
    } catch (const std::out_of_range&) {
        LOGRPT(3, "answer without \"%s\"", inner != nullptr ? inner : key);
        return {};
    }
}

UploadCommand errLogCommand(std::istream& in) {
    errLogInfo record;
    record.read(in);
    return {kCmdReportLog, "reportLog", std::string(), std::move(record.data)};
}

UploadCommand detailLogCommand(std::istream& in) {
    detailLogInfo record;
    record.read(in);
    return {kCmdReportDetail, "reportDetail", record.toJson(), std::move(record.data)};
}

UploadCommand dumpLogCommand(std::istream& in) {
    FatalLogInfo record;
    record.read(in);
    return {kCmdReportDump, "reportDump", "{\"info\":" + record.toJson() + "}", std::move(record.data)};
}

// A user report travels as its JSON text, with its attachments in the report
// file's list encoding, compressed like every other payload.
UploadCommand userReportCommand(std::istream& in) {
    userReport record;
    record.read(in);
    std::ostringstream list;
    writeAttachmentList(list, record.attachments);
    const std::string raw = list.str();
    NQByteArray compressed;
    const int err = zlib_compress(NQByteArray::fromRawData(raw.data(), static_cast<int>(raw.size())), compressed, 6);
    if (err != 0) {
        LOGRPT(3, "compress user report attachments failled! err:%d", err);
        compressed.clear();
    }
    return {kCmdReportUser, "reportUser", record.toJson(), std::move(compressed)};
}

const char* runReportLineFormat(int32_t type) {
    switch (type) {
    case segErrLog: return "slot_runReport: reportErrlog(index=%d, total=%d, pos=%d)";
    case segDetailLog: return "slot_runReport: reportDetail(index=%d, total=%d, pos=%d)";
    case segDumpLog: return "slot_runReport: reportDumplog(index=%d, total=%d, pos=%d)";
    default: return "slot_runReport: repportUserRep(index=%d, total=%d, pos=%d)";
    }
}

}  // namespace

void logRptUploader::runReport() {
    if (!started || sending || retryPending) return;
    // A closed file reports a size below 20, which would reset its queue.
    if (!file.isOpen()) return;

    logSegment seg;
    if (!file.next_logSegment(seg)) return;

    std::istream& in = file.recordStream();
    UploadCommand command;
    switch (seg.type) {
    case segErrLog: command = errLogCommand(in); break;
    case segDetailLog: command = detailLogCommand(in); break;
    case segDumpLog: command = dumpLogCommand(in); break;
    case segUserReport: command = userReportCommand(in); break;
    default:
        LOGRPT(3, "slot_runReport: logSegment type err: type: %d", seg.type);
        file.reset_rptFile();
        return;
    }

    if (logSvrConn) {
        logSvrConn->sendCmd(command.cmdId, command.json, command.data, makeCookie(command.cmdType));
        sending = true;
    } else {
        sending = false;
    }
    const logHeader& header = file.header();
    // PRINTF format chosen by type above; the arguments are the same for all.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    LOGRPT(1, runReportLineFormat(seg.type), header.index, header.total, header.position);
#pragma GCC diagnostic pop
}

void logRptUploader::reportRspSuc(const std::shared_ptr<NQMsg>& msg) {
    LOGRPT(1, "slot_reportRspSuc:type:%s", answerText(msg, "Cookie", "cmdType").c_str());
    sending = false;
    file.confirm_logSegment();
    runReport();
}

void logRptUploader::reportRspFailed(const std::shared_ptr<NQMsg>& msg) {
    LOGRPT(2, "slot_reportRspFailed:type:%s, err:%s", answerText(msg, "Cookie", "cmdType").c_str(),
           answerText(msg, "ErrDesc").c_str());
    sending = false;
    if (retryPending) return;
    retryPending = true;
    dropLogSvrConnection();
    startLogSvrSelect();
    logRptRetryTimer.setSingleShot(true);
    logRptRetryTimer.start(kRetryPauseMs, &receiver);
}

bool logRptUploader::retryTick(int timerId) {
    if (timerId != logRptRetryTimer.getTimerID()) return false;
    logRptRetryTimer.stop();
    retryPending = false;
    runReport();
    return true;
}

}  // namespace NQBase
