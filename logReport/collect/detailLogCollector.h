// detailLogCollector: the logger's full running log, cut into pieces of at
// least kDetailPieceMin bytes that end at a line feed, each compressed and
// queued under the file name the log server stores it as. Used on the worker
// thread only.
//
// A pass can run beside the upload: start_detailPass looks at the logger's new
// text without taking it, hands its pieces to helper threads and returns; the
// worker queues each compressed piece (save_readyPieces) as it is done, with
// the upload's answers handled in between. Only once every piece is in the
// report file does it take the text from the logger, so a logger that commits
// what it hands out once the handler returns never commits text that is not
// queued: a kill in the middle of a pass hands the same text out again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "NQByteArray.h"
#include "NQLog.h"
#include "collect/clientIdentity.h"
#include "collect/pieceCompressor.h"
#include "store/logSegmentSink.h"

namespace NQBase {

// Detail pieces are at least this long, then run up to the next line feed.
constexpr int kDetailPieceMin = 61440;
// A pass over at least this much text means a backlog: the next pass starts as
// soon as it ends instead of at the next tick.
constexpr size_t kDetailBacklogPassBytes = size_t(1) << 20;
// Bytes at each end of a pass's text compared with what the logger then hands
// out, to be sure it hands out the same text.
constexpr size_t kDetailPassCheckBytes = 256;

class detailLogCollector {
public:
    // Neither identity nor sink is owned; both must outlive the collector.
    detailLogCollector(const clientIdentity& client, logSegmentSink& segments, compressFn compressor)
        : identity(client), sink(segments), compressor(compressor) {}
    detailLogCollector(const detailLogCollector&) = delete;
    detailLogCollector& operator=(const detailLogCollector&) = delete;

    // A whole pass on this thread, after the one running (if any) has ended.
    void collect_detailLog(NQLog* logger);
    // Starts a pass beside the upload unless one is running; pieceDone is
    // called on a helper thread each time a piece is compressed, and the
    // caller answers it with save_readyPieces on this thread. Text of a single
    // piece is queued before it returns.
    void start_detailPass(NQLog* logger, std::function<void()> pieceDone);
    // Queues the compressed pieces that are ready, in order; after the last,
    // takes the text from the logger and starts the next pass of a backlog.
    // Returns true when something was queued.
    bool save_readyPieces();
    // Ends the running pass on this thread: its pieces queued, its text taken.
    void finish_detailPass();
    bool passRunning() const { return pass.logger != nullptr; }

    // The name the server files detail logs under: folder/nick_PCID_app_MMDD.log.
    std::string detailLogFileName() const { return detailLogFileName(identity); }
    static std::string detailLogFileName(const clientIdentity& client);
    // Makes the next detail piece announce its file name ("rpt to:") again.
    void forgetLastRptTo() { lastRptTo.clear(); }

private:
    struct Pass {
        NQLog* logger = nullptr;  // set while a pass runs
        clientIdentity client;    // who the text belongs to, as the pass began
        size_t length = 0;        // the text looked at
        std::string head, tail;   // its first and last kDetailPassCheckBytes
        std::function<void()> pieceDone;
    };
    // Looks at the logger's new text and hands its pieces to the compressor;
    // returns how many (0: no text, no pass).
    size_t begin_pass(NQLog* logger, std::function<void()> pieceDone);
    // Takes the text from the logger and queues, on this thread, whatever it
    // holds beyond what the pass queued.
    void take_passText();
    bool sameTextAsPass(const std::string& taken) const;
    // Queues one compressed piece (logs a failed compression).
    void report_detailPiece(const clientIdentity& client, int compressResult, NQByteArray& compressed);
    void keepTextWhileDraining();

    const clientIdentity& identity;
    logSegmentSink& sink;
    std::string lastRptTo;  // file name last announced in the log
    // The text of the pass; declared before the compressor, whose helpers read
    // it, so that they have ended before it goes.
    std::string text;
    Pass pass;
    pieceCompressor compressor;
};

}  // namespace NQBase
