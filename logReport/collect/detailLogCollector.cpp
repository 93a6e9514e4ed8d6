#include "collect/detailLogCollector.h"

#include <algorithm>
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

// Views of text from `from` on, cut into pieces: text must stay put until the
// last one is compressed.
std::vector<NQByteArray> cutPieces(const std::string& text, size_t from) {
    std::vector<NQByteArray> pieces;
    for (size_t start = from; start < text.size();) {
        const size_t length = detailPieceLength(text.data(), text.size(), start);
        pieces.push_back(NQByteArray::fromRawData(text.data() + start, static_cast<int>(length)));
        start += length;
    }
    return pieces;
}

}  // namespace

void detailLogCollector::collect_detailLog(NQLog* logger) {
    finish_detailPass();
    if (begin_pass(logger, nullptr) != 0) finish_detailPass();
}

// A pass of one piece is done in the handler: there is nothing to overlap,
// and its segment is queued before the upload step that follows.
void detailLogCollector::start_detailPass(NQLog* logger, std::function<void()> pieceDone) {
    if (!passRunning() && begin_pass(logger, std::move(pieceDone)) == 1) finish_detailPass();
}

size_t detailLogCollector::begin_pass(NQLog* logger, std::function<void()> pieceDone) {
    if (logger == nullptr || identity.nickName.empty()) return 0;
    // Looked at, not taken: the text is taken once all of it is queued.
    logger->GetLogFileDat(NQLOG_FILE_DETAIL, text, false);
    if (text.empty()) {
        keepTextWhileDraining();
        return 0;
    }
    pass.logger = logger;
    pass.client = identity;
    pass.length = text.size();
    const size_t check = std::min(kDetailPassCheckBytes, text.size());
    pass.head.assign(text, 0, check);
    pass.tail.assign(text, text.size() - check, check);
    pass.pieceDone = pieceDone;
    std::vector<NQByteArray> pieces = cutPieces(text, 0);
    const size_t count = pieces.size();
    compressor.start(std::move(pieces), kDefaultCompressLevel, std::move(pieceDone));
    return count;
}

bool detailLogCollector::save_readyPieces() {
    if (!passRunning()) return false;
    bool saved = false;
    int result = 0;
    NQByteArray compressed;
    while (compressor.takeNext(result, compressed)) {
        report_detailPiece(pass.client, result, compressed);
        saved = true;
    }
    if (compressor.pending() != 0) return saved;
    NQLog* const logger = pass.logger;
    std::function<void()> pieceDone = pass.pieceDone;
    const bool backlog = pass.length >= kDetailBacklogPassBytes;
    take_passText();
    // The logger commits what was taken once this handler returns; looking at
    // the next text now is safe, since none of it is taken before it is queued.
    if (backlog && begin_pass(logger, std::move(pieceDone)) == 1) finish_detailPass();
    return true;
}

void detailLogCollector::finish_detailPass() {
    if (!passRunning()) return;
    int result = 0;
    NQByteArray compressed;
    while (compressor.waitNext(result, compressed)) report_detailPiece(pass.client, result, compressed);
    take_passText();
}

bool detailLogCollector::sameTextAsPass(const std::string& taken) const {
    return taken.size() >= pass.length && taken.compare(0, pass.head.size(), pass.head) == 0 &&
           taken.compare(pass.length - pass.tail.size(), pass.tail.size(), pass.tail) == 0;
}

// The logger hands out what the pass looked at, plus whatever was written
// since; a logger whose text changed in between (its file truncated, or one
// that hands out on every call) has all of it queued: sent twice rather than
// lost.
void detailLogCollector::take_passText() {
    pass.logger->GetLogFileDat(NQLOG_FILE_DETAIL, text, true);
    const size_t from = sameTextAsPass(text) ? pass.length : 0;
    const clientIdentity client = std::move(pass.client);
    pass = Pass{};
    compressor.start(cutPieces(text, from), kDefaultCompressLevel, nullptr);
    int result = 0;
    NQByteArray compressed;
    while (compressor.waitNext(result, compressed)) report_detailPiece(client, result, compressed);
    keepTextWhileDraining();
}

// A backlog comes in hand-outs of the logger's largest size, one pass after
// another; giving their storage back after each would fault every page of it in
// again at the next pass. It is kept while the hand-outs fill at least half of
// it, and given back once they do not: the backlog is drained, and an idle
// client holds none of it.
void detailLogCollector::keepTextWhileDraining() {
    if (text.size() < text.capacity() / 2)
        std::string().swap(text);
    else
        text.clear();
}

void detailLogCollector::report_detailPiece(const clientIdentity& client, int compressResult, NQByteArray& compressed) {
    detailLogInfo record;
    record.confId = client.meetID;
    record.filename = detailLogFileName(client);
    if (compressResult != 0) {
        LOGRPT(3, "compress detail dat failled! err:%d", compressResult);
        return;
    }
    record.data = std::move(compressed);
    if (record.filename != lastRptTo) {
        lastRptTo = record.filename;
        LOGRPT(1, "rpt to:%s", lastRptTo.c_str());
    }
    const storeStatus status = sink.save_logSegment(segDetailLog, record);
    if (status != storeStatus::ok)
        LOGRPT(3, "collect_detailLog: a piece of %s lost(%s)", record.filename.c_str(), storeStatusText(status));
}

std::string detailLogCollector::detailLogFileName(const clientIdentity& client) {
    std::tm local{};
    nq_localtime64(nq_time64(), &local);
    const std::string base = stdstring::FormatString("%s_%s_%s_%.2d%.2d.log", client.nickName.c_str(), client.PCID.c_str(),
                                                     client.appName.c_str(), local.tm_mon + 1, local.tm_mday);
    if (!client.compID.empty()) return client.compID + "/" + base;
    if (client.meetID < kNickFolderMeetLimit) return client.nickName.substr(0, kNickFolderBytes) + "/" + base;
    return base;
}

}  // namespace NQBase
