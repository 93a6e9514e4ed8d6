// The report file: a 20-byte logHeader at offset 0, then the queued segments
// (layout in store/reportRecords.h). rptHeader is the authoritative copy of the
// header; every change is made there first and then written to offset 0.
//
// Results of Open, Seek and the writes are deliberately not checked: a failed
// write shows up as a header that no longer matches the file, and the next
// load_logHeader resets it.
#include <fstream>
#include <ostream>
#include <streambuf>

#include "NQCommon.h"
#include "NQTime.h"
#include "worker/logReportThrdObj.h"

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

// Positions the file at its end and returns that offset (-1 when not open).
// The file keeps its position itself, so neither step is a seek on the disk.
int64_t seekToEnd(NQFile& file) {
    if (!file.Seek(0, SEEK_TYPE_END)) return -1;  // also clears a failed read's state
    return file.GetPos();
}

}  // namespace

void logReportThrdObj::open_rptFile() {
    if (logger == nullptr) return;
    LogInitData init;
    logger->GetInitData(init);
    std::string dir = NQFile::GetFilePath(init.logFilePath);
    CorrectPathFormat(dir);
    logPath = dir;
    rptPath = dir + NQFile::getBaseName(init.logFilePath) + ".rpt";
    // A missing file stays closed until load_logHeader resets (creates) it.
    rptFile.Open(rptPath, 7);
}

void logReportThrdObj::load_logHeader() {
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

bool logReportThrdObj::save_logSegment(int type, const streamObj& record) {
    const int64_t start = seekToEnd(rptFile);
    if (start < 0) return false;  // not open: callers check first, nothing to append to

    const int64_t length = kLogSegmentSize + encodedSize(record);
    const int64_t end = start + length;
    if (end > kMaxReportFileSize) {
        LOGRPT(3, "save_logSegment: segment refused, the report file would pass %lld bytes(type=%d, size=%lld, position=%lld)",
               static_cast<long long>(kMaxReportFileSize), type, static_cast<long long>(length),
               static_cast<long long>(start));
        return false;
    }

    logSegment segment;
    segment.sequence = rptHeader.total;
    segment.type = type;
    segment.writeTime = static_cast<uint32_t>(nq_time64());
    rptHeader.total = addWrapping(rptHeader.total, 1);
    // Segment header and record go out as one sequential write: the stream
    // buffers the small fields and hands large arrays over together with them.
    std::ostream& stream = rptFile.getFStream();
    segment.write(stream);
    record.write(stream);

    // The length goes in before the header counts the segment. Both it and the
    // new end come from the measured size rather than from more seeks (one
    // system call each): a write that fell short leaves a header whose fileSize
    // no longer matches the file, which the next load_logHeader resets.
    segment.length = static_cast<int32_t>(length);
    rptFile.Seek(start, SEEK_TYPE_BEGIN);
    char lengthField[4];
    encodeInt32(lengthField, segment.length);
    rptFile.WriteData(lengthField, sizeof lengthField);

    rptHeader.fileSize = static_cast<int32_t>(end);
    write_logHeader();
    LOGRPT(1, "save_logSegment(type=%d, index=%d, total=%d, position=%d)", type, rptHeader.index, rptHeader.total,
           static_cast<int32_t>(start));
    return true;
}

void logReportThrdObj::confirm_logSegment() {
    rptHeader.index = addWrapping(rptHeader.index, 1);
    rptHeader.position = addWrapping(rptHeader.position, curSegLength);
    write_logHeader();
}

void logReportThrdObj::write_logHeader() {
    rptFile.Seek(0, SEEK_TYPE_BEGIN);
    rptHeader.write(rptFile.getFStream());
    rptFile.FlushBuffers();
}

void logReportThrdObj::reset_rptFile() {
    rptFile.Close();
    rptFile.Open(rptPath, 23);
    rptHeader = logHeader::fresh();
    write_logHeader();
}

}  // namespace NQBase
