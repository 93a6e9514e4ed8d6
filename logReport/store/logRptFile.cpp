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
    if (rptFile.Open(rptPath, 7)) load_logHeader();
}

void logRptFile::reopen() {
    if (!rptFile.isOpen() && !rptPath.empty()) rptFile.Open(rptPath, 7);
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
    reset_rptFile();
}

bool logRptFile::save_logSegment(int type, const streamObj& record) {
    const int64_t start = endPosition(rptFile);
    if (start < 0) return false;  // not open: callers check first, nothing to append to

    const int64_t length = kLogSegmentSize + encodedSize(record);
    if (start + length > kMaxReportFileSize) {
        LOGRPT(3, "save_logSegment: segment refused, the report file would pass %lld bytes(type=%d, size=%lld, position=%lld)",
               static_cast<long long>(kMaxReportFileSize), type, static_cast<long long>(length),
               static_cast<long long>(start));
        return false;
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
        rptFile.Open(rptPath, 7);
    }
    // Length and end come from the file, not from the size computed above: a
    // write that fell short must not leave a header claiming bytes the file
    // does not hold.
    const int64_t end = endPosition(rptFile);
    if (end <= start) return false;  // nothing reached the file: nothing to count
    rptHeader.total = addWrapping(rptHeader.total, 1);
    segment.length = static_cast<int32_t>(end - start);
    rptFile.Seek(start, SEEK_TYPE_BEGIN);
    char lengthField[4];
    encodeInt32(lengthField, segment.length);
    appended = rptFile.WriteData(lengthField, sizeof lengthField) && appended;
    rptHeader.fileSize = static_cast<int32_t>(endPosition(rptFile));
    appended = write_logHeader() && appended;
    LOGRPT(1, "save_logSegment(type=%d, index=%d, total=%d, position=%d)", type, rptHeader.index, rptHeader.total,
           static_cast<int32_t>(start));
    return appended;
}

void logRptFile::confirm_logSegment() {
    if (curSegPath != rptPath) return;
    rptHeader.index = addWrapping(rptHeader.index, 1);
    rptHeader.position = addWrapping(rptHeader.position, curSegLength);
    write_logHeader();
}

bool logRptFile::write_logHeader() {
    rptFile.Seek(0, SEEK_TYPE_BEGIN);
    std::fstream& stream = rptFile.getFStream();
    rptHeader.write(stream);
    return stream.good() && rptFile.FlushBuffers();
}

void logRptFile::reset_rptFile() {
    rptFile.Close();
    rptFile.Open(rptPath, 23);
    rptHeader = logHeader::fresh();
    write_logHeader();
}

bool logRptFile::next_logSegment(logSegment& seg) {
    // While the file is open its header has been loaded (kept only when its
    // fileSize is the real size) or reset, and every append sets fileSize from
    // the file's end: it is the file's size without asking the file again.
    if (rptHeader.fileSize <= kLogHeaderSize) {
        reset_rptFile();
        return false;
    }
    if (rptHeader.position == 0) rptHeader.position = kLogHeaderSize;
    rptFile.Seek(rptHeader.position, SEEK_TYPE_BEGIN);
    const int64_t now = nq_time64();
    if (rptHeader.index >= rptHeader.total) {
        reset_rptFile();
        return false;
    }
    curSegPath = rptPath;
    for (;;) {
        if (rptHeader.position >= rptHeader.fileSize) {
            reset_rptFile();
            return false;
        }
        seg = logSegment();
        seg.read(rptFile.getFStream());
        curSegLength = seg.length;
        // A length that cannot frame a segment leaves nothing to walk by.
        if (seg.length < kLogSegmentSize || seg.length > rptHeader.fileSize - rptHeader.position) {
            LOGRPT(3, "slot_runReport: logSegment length err: length: %d, pos: %d", seg.length, rptHeader.position);
            reset_rptFile();
            return false;
        }
        if (segmentIsCurrent(seg.type, seg.writeTime, now)) return true;

        rptHeader.position += seg.length;
        rptHeader.index += 1;
        write_logHeader();
        rptFile.Seek(rptHeader.position, SEEK_TYPE_BEGIN);
        LOGRPT(2, "slot_runReport: segment out of date, type %d:  write time: %s, report time: %s", seg.type,
               FormatTimeStr(seg.writeTime, true).c_str(), FormatTimeStr(GetCurrentSystemTime() / 1000, true).c_str());
        if (rptHeader.index >= rptHeader.total) {
            reset_rptFile();
            return false;
        }
    }
}

}  // namespace NQBase
