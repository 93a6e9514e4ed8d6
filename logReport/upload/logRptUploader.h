// logRptUploader: server selection and the upload cycle. It keeps exactly one
// command outstanding on its channel: a success answer confirms the segment in
// the report file and sends the next at once; a failure drops the channel,
// selects again and pauses for kRetryPauseMs. Used on the worker thread only;
// the worker's slots and timer ticks forward to it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "NQConnection.h"
#include "NQMsg.h"
#include "NQTimer.h"
#include "store/logRptFile.h"
#include "store/queuedSegment.h"
#include "upload/logCmdChannel.h"
#include "upload/logUploadReceiver.h"

namespace NQBase {

constexpr int kRetryPauseMs = 30000;

class logRptUploader {
public:
    // Neither the file nor the receiver is owned; both outlive the uploader.
    logRptUploader(logRptFile& queue, logUploadReceiver& answerReceiver) : file(queue), receiver(answerReceiver) {}
    logRptUploader(const logRptUploader&) = delete;
    logRptUploader& operator=(const logRptUploader&) = delete;

    // Stores a new server list and selects from it; false (nothing started)
    // when it is the list already stored.
    bool setServerList(const std::string& info);
    void startLogSvrSelect();
    void cancelSelect() { logSvrSelect.cancleSelect(); }
    void logSvrSelected(const std::shared_ptr<NQMsg>& msg);
    void logSvrSelectFailed();
    // Replaces the channel, disconnecting the old one; an answer still awaited
    // on it never arrives, so sending is cleared. Destroying the uploader only
    // releases its channel: the connection is not disconnected then.
    void useChannel(std::unique_ptr<logCmdChannel> channel);
    void dropLogSvrConnection() { useChannel(nullptr); }

    void setStarted(bool on) { started = on; }
    void runReport();
    void reportRspSuc(const std::shared_ptr<NQMsg>& msg);
    void reportRspFailed(const std::shared_ptr<NQMsg>& msg);
    // Handles a tick of the retry timer; false when the id is another timer's.
    bool retryTick(int timerId);

    bool isSending() const { return sending; }
    // The segment last handed out for sending, until an answer confirms it.
    const std::optional<queuedSegment>& awaitedSegment() const { return awaited; }
    bool isRetryPending() const { return retryPending; }

private:
    void confirmAwaited();

    logRptFile& file;
    logUploadReceiver& receiver;
    NQIceSvrSelect logSvrSelect;
    NQTimer logRptRetryTimer{"logRptRetryTimer"};
    std::unique_ptr<logCmdChannel> logSvrConn;
    std::string logSvrInfo;
    std::optional<queuedSegment> awaited;  // its record went out with the command
    bool started = false;
    bool sending = false;
    bool retryPending = false;
    bool selectSlotsBound = false;  // bound once, on the first selection
};

}  // namespace NQBase
