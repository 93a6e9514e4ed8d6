#include "collect/detailLogCollector.h"

#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "NQCommon.h"
#include "NQCompress.h"
#include "NQString.h"
#include "NQTime.h"
#include "logRptLog.h"

namespace NQBase {

namespace {

// Folder by nickname: its first four bytes, used only outside large meetings.
constexpr size_t kNickFolderBytes = 4;
constexpr int32_t kNickFolderMeetLimit = 1000;

// Length of the piece that starts at start: past the first kDetailPieceMin
// bytes, up to and including the next line feed; all the rest when no line
// feed follows.
size_t detailPieceLength(const char* text, size_t size, size_t start) {
    const size_t cut = start + static_cast<size_t>(kDetailPieceMin);
    if (cut < size) {
        const void* feed = std::memchr(text + cut, '\n', size - cut);
        if (feed != nullptr) return static_cast<size_t>(static_cast<const char*>(feed) - (text + start)) + 1;
    }
    return size - start;
}

}  // namespace

void detailLogCollector::collect_detailLog(NQLog* logger) {
    if (logger == nullptr || identity.nickName.empty()) return;
    logger->GetLogFileDat(2, text, true);
    // Pieces are views of text: it must stay put until the last one is queued.
    std::vector<NQByteArray> pieces;
    for (size_t start = 0; start < text.size();) {
        const size_t length = detailPieceLength(text.data(), text.size(), start);
        pieces.push_back(NQByteArray::fromRawData(text.data() + start, static_cast<int>(length)));
        start += length;
    }
    // Compressed two at a time; queued one by one, in order, on this thread.
    compressor.compressEach(pieces, 6, [this](int err, NQByteArray& data) { report_detailPiece(err, data); });
    keepTextWhileDraining();
}

// A backlog comes in hand-outs of the logger's largest size, one pass after
// another; giving their storage back after each would fault every page of it in
// again at the next pass (tens of megabytes each time). It is kept while the
// hand-outs fill at least half of it, and given back once they do not: the
// backlog is drained, and an idle client holds none of it.
void detailLogCollector::keepTextWhileDraining() {
    if (text.size() < text.capacity() / 2)
        std::string().swap(text);
    else
        text.clear();
}

void detailLogCollector::report_detailPiece(int compressResult, NQByteArray& compressed) {
    detailLogInfo record;
    record.confId = identity.meetID;
    record.filename = detailLogFileName();
    if (compressResult != 0) {
        LOGRPT(3, "compress detail dat failled! err:%d", compressResult);
        return;
    }
    record.data = std::move(compressed);
    if (record.filename != lastRptTo) {
        lastRptTo = record.filename;
        LOGRPT(1, "rpt to:%s", lastRptTo.c_str());
    }
    sink.save_logSegment(segDetailLog, record);
}

std::string detailLogCollector::detailLogFileName() const {
    std::tm local{};
    nq_localtime64(nq_time64(), &local);
    const std::string base = stdstring::FormatString("%s_%s_%s_%.2d%.2d.log", identity.nickName.c_str(), identity.PCID.c_str(),
                                                     identity.appName.c_str(), local.tm_mon + 1, local.tm_mday);
    if (!identity.compID.empty()) return identity.compID + "/" + base;
    if (identity.meetID < kNickFolderMeetLimit) return identity.nickName.substr(0, kNickFolderBytes) + "/" + base;
    return base;
}

}  // namespace NQBase
