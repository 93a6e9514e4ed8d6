// detailLogCollector: the logger's full running log, cut into pieces of at
// least kDetailPieceMin bytes that end at a line feed, each compressed and
// queued under the file name the log server stores it as. Used on the worker
// thread only.
#pragma once

#include <cstdint>
#include <string>

#include "NQByteArray.h"
#include "NQLog.h"
#include "collect/clientIdentity.h"
#include "collect/pieceCompressor.h"
#include "store/logSegmentSink.h"

namespace NQBase {

// Detail pieces are at least this long, then run up to the next line feed.
constexpr int kDetailPieceMin = 61440;

class detailLogCollector {
public:
    // Neither identity nor sink is owned; both must outlive the collector.
    detailLogCollector(const clientIdentity& client, logSegmentSink& segments, compressFn compressor)
        : identity(client), sink(segments), compressor(compressor) {}
    detailLogCollector(const detailLogCollector&) = delete;
    detailLogCollector& operator=(const detailLogCollector&) = delete;

    void collect_detailLog(NQLog* logger);
    // The name the server files detail logs under: folder/nick_PCID_app_MMDD.log.
    std::string detailLogFileName() const;
    // Makes the next detail piece announce its file name ("rpt to:") again.
    void forgetLastRptTo() { lastRptTo.clear(); }

private:
    // Queues one compressed piece (logs a failed compression).
    void report_detailPiece(int compressResult, NQByteArray& compressed);
    void keepTextWhileDraining();

    const clientIdentity& identity;
    logSegmentSink& sink;
    pieceCompressor compressor;
    std::string lastRptTo;  // file name last announced in the log
    std::string text;       // the last hand-out's storage, kept while a backlog drains
};

}  // namespace NQBase
