// The report file's records and their byte format, documented once here.
//
// Primitives (no alignment, no terminator, no checksum):
//   int32       4 bytes, least significant first (two's complement)
//   text        int32 length L, then L bytes; nothing follows when L <= 0.
//               Zero bytes inside are carried whole.
//   byte array  same framing as text
//   list        int32 count N, then N items
//
// logHeader (20 bytes, file offset 0):
//   magic (4) = 4099 | total (4) | index (4) | position (4, 0 means 20) | fileSize (4)
// logSegment (16 bytes, before every payload):
//   length (4, these 16 bytes + payload) | sequence (4) | type (4) | writeTime (4, uint32 seconds)
// Payloads, by SegmentType:
//   0 errLogInfo     data
//   1 detailLogInfo  confId, filename, data
//   2 userReport     version, conferenceID, userID, client, clientIP, reportDate,
//                    contact, content, attachments (list of reportAttachment:
//                    name, text, data)
//   3 FatalLogInfo   version, conferenceID, userID, client, clientIP, logDate,
//                    content, data
//
// Reading never trusts a length: it allocates no more than the stream still
// holds, and a record cut off by the end of the stream yields what was there,
// with every later field empty (texts, arrays) or unchanged (numbers, 0 from
// construction). A damaged attachment count stops at the first failure.
#pragma once

#include <cstdint>
#include <istream>
#include <list>
#include <ostream>
#include <string>

#include "NQByteArray.h"
#include "reportAttachment.h"

namespace NQBase {

enum SegmentType { segErrLog = 0, segDetailLog = 1, segUserReport = 2, segDumpLog = 3 };

constexpr int32_t kLogHeaderMagic = 4099;
constexpr int32_t kLogHeaderSize = 20;
constexpr int32_t kLogSegmentSize = 16;
// Offsets, sizes and counters are int32, so this is the largest a file may grow.
constexpr int64_t kMaxReportFileSize = 2147483647;

// Age limits of a queued segment, in seconds.
constexpr int64_t kDetailLogMaxAgeSec = 604800;    // 7 days
constexpr int64_t kOtherSegMaxAgeSec = 1209600;    // 14 days
constexpr int64_t kMaxFutureSkewSec = 86400;       // writeTime at most now + 1 day

// Whether a segment of this type written at writeTime is still sent at now
// (seconds since 1970); an older one is dropped from the queue unsent.
bool segmentIsCurrent(int32_t type, uint32_t writeTime, int64_t now);

// Fixed-width int32, least significant byte first, into/from 4 bytes.
void encodeInt32(char* out, int32_t value);
int32_t decodeInt32(const char* in);

// Shared primitives of every record.
void writeInt32(std::ostream& out, int32_t value);
void writeText(std::ostream& out, const std::string& text);
void writeBytes(std::ostream& out, const NQByteArray& bytes);
// Reads 4 bytes into value; leaves value unchanged when they are not all there.
bool readInt32(std::istream& in, int32_t& value);
void readText(std::istream& in, std::string& text);
void readBytes(std::istream& in, NQByteArray& bytes);

struct streamObj {
    virtual void write(std::ostream& out) const = 0;
    virtual void read(std::istream& in) = 0;

protected:
    ~streamObj() = default;  // never deleted through a streamObj pointer
};

struct logHeader final : streamObj {
    int32_t magic = 0;
    int32_t total = 0;
    int32_t index = 0;
    int32_t position = 0;
    int32_t fileSize = 0;

    // The header of an empty queue: {4099, 0, 0, 0, 20}.
    static logHeader fresh() {
        logHeader h;
        h.magic = kLogHeaderMagic;
        h.fileSize = kLogHeaderSize;
        return h;
    }
    void write(std::ostream& out) const override;
    void read(std::istream& in) override;
};

struct logSegment final : streamObj {
    int32_t length = 0;
    int32_t sequence = 0;
    int32_t type = 0;
    uint32_t writeTime = 0;

    void write(std::ostream& out) const override;
    void read(std::istream& in) override;
};

// Each field is written as a 4-byte int32, in declaration order, so the sizes
// the file's layout relies on are the sums of the fields.
static_assert(kLogHeaderSize == sizeof(logHeader::magic) + sizeof(logHeader::total) + sizeof(logHeader::index) +
                                    sizeof(logHeader::position) + sizeof(logHeader::fileSize),
              "the header is its five int32 fields");
static_assert(kLogSegmentSize == sizeof(logSegment::length) + sizeof(logSegment::sequence) + sizeof(logSegment::type) +
                                     sizeof(logSegment::writeTime),
              "the segment header is its four int32 fields");

struct errLogInfo final : streamObj {
    NQByteArray data;

    void write(std::ostream& out) const override;
    void read(std::istream& in) override;
};

struct detailLogInfo final : streamObj {
    int32_t confId = 0;
    std::string filename;
    NQByteArray data;

    void write(std::ostream& out) const override;
    void read(std::istream& in) override;
    std::string toJson() const;
};

struct FatalLogInfo final : streamObj {
    std::string version;
    int32_t conferenceID = 0;
    int32_t userID = 0;
    std::string client;
    std::string clientIP;
    std::string logDate;
    std::string content;
    NQByteArray data;

    void write(std::ostream& out) const override;
    void read(std::istream& in) override;
    std::string toJson() const;
};

struct userReport final : streamObj {
    std::string version;
    int32_t conferenceID = 0;
    int32_t userID = 0;
    std::string client;
    std::string clientIP;
    std::string reportDate;
    std::string contact;
    std::string content;
    std::list<reportAttachment> attachments;

    void write(std::ostream& out) const override;
    void read(std::istream& in) override;
    std::string toJson() const;
};

// The attachments in the list encoding (int32 count, then each item), as they
// travel to the server with a user report.
void writeAttachmentList(std::ostream& out, const std::list<reportAttachment>& items);
void readAttachmentList(std::istream& in, std::list<reportAttachment>& items);

const char* segmentTypeName(int32_t type);  // "errLog", "detailLog", "userReport", "dumpLog" or "unknown"

}  // namespace NQBase
