// logRptUploader: choosing a log server from the list the client handed in and
// taking over its connection (the selector probes every entry; when none
// answers, the first entry is connected directly), then the upload cycle: one
// command outstanding at a time, the oldest segment first. A success answer
// consumes the segment and sends the next at once; a failure drops the
// connection, selects again and pauses for the retry timer.
#include "upload/logRptUploader.h"

#include <sstream>
#include <stdexcept>

#include "NQCommon.h"
#include "NQCompress.h"
#include "NQTime.h"
#include "logRptLog.h"
#include "logServerCmds.h"
#include "upload/iceCmdChannel.h"
#include "upload/serverList.h"

namespace NQBase {

namespace {

constexpr int kIceConnectionType = NQConnection::Ice_Type;

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

// Each command takes the record's data rather than copying it.
UploadCommand errLogCommand(errLogInfo& record) {
    return {kCmdReportLog, "reportLog", std::string(), std::move(record.data)};
}

UploadCommand detailLogCommand(detailLogInfo& record) {
    return {kCmdReportDetail, "reportDetail", record.toJson(), std::move(record.data)};
}

UploadCommand dumpLogCommand(FatalLogInfo& record) {
    return {kCmdReportDump, "reportDump", "{\"info\":" + record.toJson() + "}", std::move(record.data)};
}

// A user report travels as its JSON text, with its attachments in the report
// file's list encoding, compressed like every other payload.
UploadCommand userReportCommand(const userReport& record) {
    std::ostringstream list;
    writeAttachmentList(list, record.attachments);
    const std::string raw = list.str();
    NQByteArray compressed;
    const int err = zlib_compress(NQByteArray::fromRawData(raw.data(), static_cast<int>(raw.size())), compressed,
                                  kDefaultCompressLevel);
    if (err != 0) {
        LOGRPT(3, "compress user report attachments failled! err:%d", err);
        compressed.clear();
    }
    return {kCmdReportUser, "reportUser", record.toJson(), std::move(compressed)};
}

UploadCommand commandFor(SegmentPayload& record) {
    switch (record.type) {
    case segErrLog: return errLogCommand(record.errLog);
    case segDetailLog: return detailLogCommand(record.detailLog);
    case segDumpLog: return dumpLogCommand(record.dump);
    default: return userReportCommand(record.user);  // the store hands out known types only
    }
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

    std::optional<queuedSegment> head = file.next_logSegment();
    if (!head) return;
    const UploadCommand command = commandFor(head->record);
    const int32_t type = head->segment.type;
    // The command carries the record now; the awaited segment keeps only what
    // confirming it needs, not a second copy of a large payload.
    head->record = SegmentPayload();
    head->record.type = type;
    awaited = std::move(head);

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
    LOGRPT(1, runReportLineFormat(type), header.index, header.total, header.position);
#pragma GCC diagnostic pop
}

void logRptUploader::reportRspSuc(const std::shared_ptr<NQMsg>& msg) {
    LOGRPT(1, "slot_reportRspSuc:type:%s", answerText(msg, "Cookie", "cmdType").c_str());
    sending = false;
    confirmAwaited();
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

void logRptUploader::confirmAwaited() {
    if (!awaited) return;
    const storeStatus status = file.confirm_logSegment(*awaited);
    awaited.reset();
    // The server has the segment either way; what is not written down is sent
    // again after a restart (otherFile: the logger changed while it was out).
    if (status != storeStatus::ok)
        LOGRPT(2, "confirm_logSegment: not recorded(%s)", storeStatusText(status));
}

bool logRptUploader::retryTick(int timerId) {
    if (timerId != logRptRetryTimer.getTimerID()) return false;
    logRptRetryTimer.stop();
    retryPending = false;
    runReport();
    return true;
}

bool logRptUploader::setServerList(const std::string& info) {
    if (info == logSvrInfo) return false;
    logSvrInfo = info;
    startLogSvrSelect();
    return true;
}

void logRptUploader::startLogSvrSelect() {
    if (serverListEntries(logSvrInfo) == 0) return;
    LOGRPT(1, "wait for log server selecting...(%s)", logSvrInfo.c_str());

    std::list<NQIceSvrSelect::SvrDat> candidates;
    std::string badEntry;
    if (!buildCandidates(logSvrInfo, candidates, badEntry)) {
        LOGRPT(3, "logsvr info param err! (%s)", badEntry.c_str());
        return;
    }
    // Bound once: every selection then reaches each slot exactly once.
    if (!selectSlotsBound) {
        receiver.connect(&logSvrSelect, 0, receiver.selectSlot(false));
        receiver.connect(&logSvrSelect, 1, receiver.selectSlot(true));
        selectSlotsBound = true;
    }
    logSvrSelect.selectServers(candidates, kIceConnectionType);
}

void logRptUploader::logSvrSelected(const std::shared_ptr<NQMsg>& msg) {
    NQIceSvrSelect::SvrDat chosen;
    std::shared_ptr<NQConnection> connection;
    if (msg) {
        if (const auto* dat = msg->params["dat"].customValue<NQIceSvrSelect::SvrDat>()) chosen = *dat;
        if (const auto* prx = msg->params["prx"].customValue<std::shared_ptr<NQConnection>>()) connection = *prx;
    }
    if (!connection) {
        LOGRPT(1, "selected log server failed !");
        return;
    }
    dropLogSvrConnection();
    LOGRPT(1, "selected log server:%s", chosen.svrProxy.c_str());
    useChannel(std::make_unique<iceCmdChannel>(std::move(connection), receiver));
}

void logRptUploader::logSvrSelectFailed() {
    LOGRPT(2, "slot_logSvrSelectFailed, try use default");
    // A single server has just failed to answer: no second try at it here.
    if (serverListEntries(logSvrInfo) < 2) return;

    const std::string proxy = firstEntryProxy(logSvrInfo);
    LOGRPT(1, "%s", proxy.c_str());
    dropLogSvrConnection();
    auto connection = std::make_shared<NQConnection>(kIceConnectionType, "NQConnection");
    connection->connectSvr(proxy, true, "");
    useChannel(std::make_unique<iceCmdChannel>(std::move(connection), receiver));
}

void logRptUploader::useChannel(std::unique_ptr<logCmdChannel> channel) {
    if (logSvrConn) logSvrConn->disconnect();
    logSvrConn = std::move(channel);
    sending = false;
}

}  // namespace NQBase
