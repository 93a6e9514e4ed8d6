#include "store/reportFileReader.h"

#include <filesystem>
#include <fstream>
#include <streambuf>
#include <system_error>

namespace NQBase {

namespace {

// A read-only stream buffer over bytes in memory. It can seek, so the record
// readers know how much is left and size nothing beyond it.
class MemoryBuf final : public std::streambuf {
public:
    explicit MemoryBuf(const std::string& bytes) {
        char* begin = const_cast<char*>(bytes.data());
        setg(begin, begin, begin + bytes.size());
    }
    int64_t consumed() const { return static_cast<int64_t>(gptr() - eback()); }

protected:
    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode which) override {
        if (!(which & std::ios::in)) return pos_type(off_type(-1));
        const off_type base = dir == std::ios::beg ? 0 : dir == std::ios::cur ? gptr() - eback() : egptr() - eback();
        const off_type target = base + off;
        if (target < 0 || target > egptr() - eback()) return pos_type(off_type(-1));
        setg(eback(), eback() + target, egptr());
        return pos_type(target);
    }
    pos_type seekpos(pos_type pos, std::ios::openmode which) override {
        return seekoff(off_type(pos), std::ios::beg, which);
    }
};

std::string at(int64_t offset, const std::string& why) { return "offset " + std::to_string(offset) + ": " + why; }

bool knownType(int32_t type) { return type >= segErrLog && type <= segDumpLog; }

class FileWalker {
public:
    FileWalker(std::istream& in, int64_t realSize, ReportFileScan& scan) : in_(in), realSize_(realSize), scan_(scan) {}

    // Reads the segment header at offset. False when no whole segment that can
    // be stepped over starts there (the walk must stop).
    bool readSegment(int64_t offset, SegmentInfo& info, std::string& payload) {
        info.offset = offset;
        if (offset + kLogSegmentSize > realSize_) {
            problem(offset, "segment header cut off by the end of the file (" + std::to_string(realSize_) + " bytes)");
            return false;
        }
        std::string raw = readAt(offset, kLogSegmentSize);
        if (raw.size() < static_cast<size_t>(kLogSegmentSize)) {
            problem(offset, "segment header cannot be read");
            return false;
        }
        MemoryBuf buffer(raw);
        std::istream header(&buffer);
        logSegment segment;
        segment.read(header);
        info.length = segment.length;
        info.sequence = segment.sequence;
        info.type = segment.type;
        info.writeTime = segment.writeTime;
        if (info.length < kLogSegmentSize) {
            problem(offset, "segment length " + std::to_string(info.length) + " is below the 16-byte segment header");
            return false;
        }
        if (offset + info.length > realSize_) {
            problem(offset, "segment of " + std::to_string(info.length) + " bytes runs past the end of the file (" +
                                std::to_string(realSize_) + " bytes)");
            scan_.segments.push_back(info);
            return false;
        }
        payload = readAt(offset + kLogSegmentSize, info.length - kLogSegmentSize);
        return true;
    }

    // Checks a whole segment's type and record; false for an unknown type.
    bool checkSegment(SegmentInfo& info, const std::string& payload) {
        if (!knownType(info.type)) {
            problem(info.offset, "unknown segment type " + std::to_string(info.type));
            return false;
        }
        SegmentPayload decoded;
        std::string why;
        info.recordValid = decodePayload(info.type, payload, decoded, &why);
        if (!info.recordValid) problem(info.offset, std::string(segmentTypeName(info.type)) + " record: " + why);
        return true;
    }

    void problem(int64_t offset, const std::string& why) { scan_.problems.push_back(at(offset, why)); }

private:
    std::string readAt(int64_t offset, int64_t size) {
        std::string bytes(static_cast<size_t>(size), '\0');
        in_.clear();
        in_.seekg(offset);
        in_.read(&bytes[0], static_cast<std::streamsize>(size));
        bytes.resize(static_cast<size_t>(in_.gcount()));
        return bytes;
    }

    std::istream& in_;
    int64_t realSize_;
    ReportFileScan& scan_;
};

void checkHeader(ReportFileScan& scan) {
    const logHeader& h = scan.header;
    scan.headerValid = h.magic == kLogHeaderMagic && scan.realSize <= kMaxReportFileSize &&
                       static_cast<int64_t>(h.fileSize) == scan.realSize;
    if (h.magic != kLogHeaderMagic) scan.problems.push_back(at(0, "magic " + std::to_string(h.magic) + " is not 4099"));
    if (static_cast<int64_t>(h.fileSize) != scan.realSize)
        scan.problems.push_back(at(16, "fileSize " + std::to_string(h.fileSize) + " differs from the real size " +
                                           std::to_string(scan.realSize)));
}

// Segments before the head of the queue, walked from 20; returns the offset
// the walk reached, which a consistent header's position equals.
int64_t walkConsumed(FileWalker& walker, ReportFileScan& scan, int64_t head) {
    int64_t offset = kLogHeaderSize;
    while (offset < head && offset < scan.realSize) {
        SegmentInfo info;
        std::string payload;
        if (!walker.readSegment(offset, info, payload)) return -1;
        info.consumed = true;
        walker.checkSegment(info, payload);
        scan.segments.push_back(info);
        offset += info.length;
    }
    return offset;
}

// The queue from its head to the end of the file; false when it cannot be walked.
bool walkQueue(FileWalker& walker, ReportFileScan& scan, int64_t head) {
    bool walkable = true;
    int64_t offset = head;
    while (offset < scan.realSize) {
        SegmentInfo info;
        std::string payload;
        if (!walker.readSegment(offset, info, payload)) return false;
        if (!walker.checkSegment(info, payload)) walkable = false;
        scan.segments.push_back(info);
        offset += info.length;
    }
    return walkable;
}

void checkCounters(FileWalker& walker, const ReportFileScan& scan) {
    const logHeader& h = scan.header;
    const int64_t owed = static_cast<int64_t>(h.total) - h.index;
    const int64_t queued = scan.queuedCount();
    if (owed != queued)
        walker.problem(4, "total - index = " + std::to_string(owed) + " but " + std::to_string(queued) +
                              " segments are queued");
    for (const SegmentInfo& info : scan.segments) {
        if (info.consumed) continue;
        if (info.sequence != h.index)
            walker.problem(info.offset, "head of the queue has sequence " + std::to_string(info.sequence) +
                                            ", the header's index is " + std::to_string(h.index));
        break;
    }
}

}  // namespace

int ReportFileScan::queuedCount() const {
    int count = 0;
    for (const SegmentInfo& info : segments) count += info.consumed ? 0 : 1;
    return count;
}

const SegmentInfo* ReportFileScan::findSequence(int32_t sequence) const {
    for (const SegmentInfo& info : segments)
        if (info.sequence == sequence) return &info;
    return nullptr;
}

bool segmentOutOfDate(const SegmentInfo& info, int64_t now) { return !segmentIsCurrent(info.type, info.writeTime, now); }

bool decodePayload(int32_t type, const std::string& bytes, SegmentPayload& payload, std::string* why) {
    MemoryBuf buffer(bytes);
    std::istream in(&buffer);
    if (!payload.read(type, in)) {
        if (why != nullptr) *why = "unknown segment type " + std::to_string(type);
        return false;
    }
    const int64_t size = static_cast<int64_t>(bytes.size());
    if (in.fail()) {
        if (why != nullptr) *why = "cut short: it needs more than the " + std::to_string(size) + " bytes it has";
        return false;
    }
    if (buffer.consumed() != size) {
        if (why != nullptr)
            *why = "ends after " + std::to_string(buffer.consumed()) + " of its " + std::to_string(size) + " bytes";
        return false;
    }
    return true;
}

ReportFileScan scanReportFile(const std::string& path) {
    std::error_code error;
    std::ifstream in;
    if (std::filesystem::is_regular_file(std::filesystem::u8path(path), error)) in.open(std::filesystem::u8path(path), std::ios::binary);
    if (!in) {
        ReportFileScan scan;
        scan.problems.push_back("cannot open " + path + " as a regular file");
        return scan;
    }
    return scanReportStream(in);
}

ReportFileScan scanReportStream(std::istream& in) {
    ReportFileScan scan;
    in.seekg(0, std::ios::end);
    scan.realSize = static_cast<int64_t>(in.tellg());
    if (scan.realSize < 0) {
        scan.problems.push_back("cannot read the file");
        return scan;
    }
    scan.opened = true;
    if (scan.realSize < kLogHeaderSize) {
        scan.problems.push_back(at(0, "the file has " + std::to_string(scan.realSize) +
                                          " bytes, less than the 20-byte header"));
        return scan;
    }
    in.seekg(0);
    scan.header.read(in);
    scan.headerPresent = true;
    checkHeader(scan);

    FileWalker walker(in, scan.realSize, scan);
    const int64_t head = scan.header.position == 0 ? kLogHeaderSize : scan.header.position;
    if (head < kLogHeaderSize || head > scan.realSize) {
        walker.problem(12, "position " + std::to_string(scan.header.position) + " is outside 20.." +
                               std::to_string(scan.realSize));
        // List what is there: all of it consumed for a head past the end, none for one inside the header.
        if (head > scan.realSize) walkConsumed(walker, scan, head);
        else walkQueue(walker, scan, kLogHeaderSize);
        return scan;
    }
    const int64_t reached = walkConsumed(walker, scan, head);
    if (reached != head) {
        if (reached >= 0)
            walker.problem(12, "position " + std::to_string(head) +
                                   " is not on a segment boundary (the walk from 20 reaches " +
                                   std::to_string(reached) + ")");
        return scan;
    }
    scan.queueWalkable = walkQueue(walker, scan, head);
    checkCounters(walker, scan);
    return scan;
}

bool readSegmentRecord(const std::string& path, int64_t offset, logSegment& segment, SegmentPayload& payload,
                       std::string* why) {
    std::error_code error;
    std::ifstream in;
    if (std::filesystem::is_regular_file(std::filesystem::u8path(path), error)) in.open(std::filesystem::u8path(path), std::ios::binary);
    if (!in) {
        if (why != nullptr) *why = "cannot open " + path + " as a regular file";
        return false;
    }
    return readSegmentRecord(in, offset, segment, payload, why);
}

bool readSegmentRecord(std::istream& in, int64_t offset, logSegment& segment, SegmentPayload& payload,
                       std::string* why) {
    in.clear();
    in.seekg(0, std::ios::end);
    const int64_t realSize = static_cast<int64_t>(in.tellg());
    if (realSize < 0) {
        if (why != nullptr) *why = "cannot read the file";
        return false;
    }
    ReportFileScan unused;
    FileWalker walker(in, realSize, unused);
    SegmentInfo info;
    std::string bytes;
    const bool whole = offset >= 0 && walker.readSegment(offset, info, bytes);
    segment.length = info.length;
    segment.sequence = info.sequence;
    segment.type = info.type;
    segment.writeTime = info.writeTime;
    if (!whole) {
        if (why != nullptr) *why = unused.problems.empty() ? "negative offset" : unused.problems.front();
        return false;
    }
    return decodePayload(info.type, bytes, payload, why);
}

}  // namespace NQBase
