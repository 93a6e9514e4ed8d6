#include "store/logRptFile.h"

#include <fstream>
#include <ostream>
#include <streambuf>

#include "NQCommon.h"
#include "NQTime.h"
#include "logRptLog.h"

namespace NQBase {

namespace {

// An output buffer that only counts what it is given: the record's size is
// known before anything reaches the file, without copying its bytes.
class CountingSink final : public std::streambuf {
public:
    int64_t count() const { return count_; }

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) ++count_;
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char*, std::streamsize n) override {
        count_ += n;
        return n;
    }

private:
    int64_t count_ = 0;
};

int64_t encodedSize(const streamObj& record) {
    CountingSink sink;
    std::ostream out(&sink);
    record.write(out);
    return sink.count();
}

// Counters and offsets are int32 on disk; a damaged length must not make the
// arithmetic undefined.
int32_t addWrapping(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// The file's end, where the next segment goes; -1 when it cannot be reached.
int64_t endPosition(NQFile& file) { return file.Seek(0, SEEK_TYPE_END) ? file.GetPos() : -1; }

}  // namespace

void logRptFile::open_rptFile(NQLog& logger) {
    LogInitData init;
    logger.GetInitData(init);
    std::string dir = NQFile::GetFilePath(init.logFilePath);
    CorrectPathFormat(dir);
    logPath = dir;
    rptPath = dir + NQFile::getBaseName(init.logFilePath) + ".rpt";
    // A missing file stays closed until load_logHeader resets (creates) it. An
    // existing one may hold the queue of an earlier run: its own header counts
    // it, not the one in memory, which belongs to the previous file.
    if (rptFile.Open(rptPath, kOpenUpdateExisting)) load_logHeader();
}

void logRptFile::reopen() {
    if (!rptFile.isOpen() && !rptPath.empty()) rptFile.Open(rptPath, kOpenUpdateExisting);
}

void logRptFile::load_logHeader() {
    const int32_t size = static_cast<int32_t>(rptFile.GetSize());
    if (size >= kLogHeaderSize) {
        rptFile.Seek(0, SEEK_TYPE_BEGIN);
        logHeader stored;
        stored.read(rptFile.getFStream());
        rptHeader = stored;
        if (rptHeader.magic == kLogHeaderMagic && rptHeader.fileSize == size) return;
    }
    emptyQueue();
}

storeStatus logRptFile::save_logSegment(int type, const streamObj& record) {
    const int64_t start = endPosition(rptFile);
    if (start < 0) return storeStatus::notOpen;

    const int64_t length = kLogSegmentSize + encodedSize(record);
    if (start + length > kMaxReportFileSize) {
        LOGRPT(3, "save_logSegment: segment refused, the report file would pass %lld bytes(type=%d, size=%lld, position=%lld)",
               static_cast<long long>(kMaxReportFileSize), type, static_cast<long long>(length),
               static_cast<long long>(start));
        return storeStatus::tooLarge;
    }

    logSegment segment;
    segment.sequence = rptHeader.total;
    segment.type = type;
    segment.writeTime = static_cast<uint32_t>(nq_time64());
    std::fstream& stream = rptFile.getFStream();
    segment.write(stream);
    record.write(stream);
    bool appended = stream.good() && rptFile.FlushBuffers();
    // Bytes a failed write left in the stream's buffer would reach the file
    // later, at another place: drop them, so that the file's end is what the
    // disk holds.
    if (!appended) {
        rptFile.Close();
        rptFile.Open(rptPath, kOpenUpdateExisting);
    }
    // Length and end come from the file, not from the size computed above: a
    // write that fell short must not leave a header claiming bytes the file
    // does not hold.
    const int64_t end = endPosition(rptFile);
    if (end <= start) return storeStatus::writeFailed;  // nothing reached the file: nothing to count
    rptHeader.total = addWrapping(rptHeader.total, 1);
    segment.length = static_cast<int32_t>(end - start);
    rptFile.Seek(start, SEEK_TYPE_BEGIN);
    char lengthField[4];
    encodeInt32(lengthField, segment.length);
    appended = rptFile.WriteData(lengthField, sizeof lengthField) && appended;
    rptHeader.fileSize = static_cast<int32_t>(endPosition(rptFile));
    const storeStatus header = write_logHeader();
    LOGRPT(1, "save_logSegment(type=%d, index=%d, total=%d, position=%d)", type, rptHeader.index, rptHeader.total,
           static_cast<int32_t>(start));
    return appended && header == storeStatus::ok ? storeStatus::ok : storeStatus::writeFailed;
}

storeStatus logRptFile::confirm_logSegment(const queuedSegment& sent) {
    if (sent.path != rptPath) return storeStatus::otherFile;
    rptHeader.index = addWrapping(rptHeader.index, 1);
    // A header reloaded while the command was outstanding (startReport) holds
    // the position 0 of a file never walked: the segment started right after it.
    if (rptHeader.position == 0) rptHeader.position = kLogHeaderSize;
    rptHeader.position = addWrapping(rptHeader.position, sent.segment.length);
    return write_logHeader();
}

storeStatus logRptFile::write_logHeader() {
    if (!rptFile.isOpen()) return storeStatus::notOpen;
    rptFile.Seek(0, SEEK_TYPE_BEGIN);
    std::fstream& stream = rptFile.getFStream();
    rptHeader.write(stream);
    return stream.good() && rptFile.FlushBuffers() ? storeStatus::ok : storeStatus::writeFailed;
}

storeStatus logRptFile::reset_rptFile() {
    rptFile.Close();
    rptFile.Open(rptPath, kOpenRecreate);
    rptHeader = logHeader::fresh();
    return write_logHeader();
}

void logRptFile::emptyQueue() {
    const storeStatus status = reset_rptFile();
    // Without a logger there is no path yet, and nothing to lose.
    if (status != storeStatus::ok && !rptPath.empty())
        LOGRPT(3, "reset_rptFile: %s not recreated(%s)", rptPath.c_str(), storeStatusText(status));
}

std::optional<queuedSegment> logRptFile::next_logSegment() {
    // While the file is open its header has been loaded (kept only when its
    // fileSize is the real size) or reset, and every append sets fileSize from
    // the file's end: it is the file's size without asking the file again.
    if (rptHeader.fileSize <= kLogHeaderSize) {
        emptyQueue();
        return std::nullopt;
    }
    if (rptHeader.position == 0) rptHeader.position = kLogHeaderSize;
    rptFile.Seek(rptHeader.position, SEEK_TYPE_BEGIN);
    const int64_t now = nq_time64();
    if (rptHeader.index >= rptHeader.total) {
        emptyQueue();
        return std::nullopt;
    }
    for (;;) {
        if (rptHeader.position >= rptHeader.fileSize) {
            emptyQueue();
            return std::nullopt;
        }
        queuedSegment head;
        head.position = rptHeader.position;
        head.path = rptPath;
        logSegment& seg = head.segment;
        seg.read(rptFile.getFStream());
        // A length that cannot frame a segment leaves nothing to walk by.
        if (seg.length < kLogSegmentSize || seg.length > rptHeader.fileSize - rptHeader.position) {
            LOGRPT(3, "slot_runReport: logSegment length err: length: %d, pos: %d", seg.length, rptHeader.position);
            emptyQueue();
            return std::nullopt;
        }
        if (segmentIsCurrent(seg.type, seg.writeTime, now)) {
            // A type the queue cannot decode may hide a damaged length too: the
            // walk cannot trust any later segment.
            if (head.record.read(seg.type, rptFile.getFStream())) return head;
            LOGRPT(3, "slot_runReport: logSegment type err: type: %d", seg.type);
            emptyQueue();
            return std::nullopt;
        }

        rptHeader.position += seg.length;
        rptHeader.index += 1;
        write_logHeader();
        rptFile.Seek(rptHeader.position, SEEK_TYPE_BEGIN);
        LOGRPT(2, "slot_runReport: segment out of date, type %d:  write time: %s, report time: %s", seg.type,
               FormatTimeStr(seg.writeTime, true).c_str(), FormatTimeStr(GetCurrentSystemTime() / 1000, true).c_str());
        if (rptHeader.index >= rptHeader.total) {
            emptyQueue();
            return std::nullopt;
        }
    }
}

}  // namespace NQBase
