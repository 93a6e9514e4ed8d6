#include "store/reportRecords.h"

#include <algorithm>

namespace NQBase {

namespace {

// Without a known end, a claimed length is met in steps: the buffer grows only
// as bytes actually arrive, so a lying prefix costs at most one step.
constexpr int64_t kReadStep = 1 << 20;

// Bytes left between the stream's position and its end, or -1 when the stream
// cannot tell (not seekable).
int64_t remainingBytes(std::istream& in) {
    std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr) return 0;
    const std::streampos here = buffer->pubseekoff(0, std::ios::cur, std::ios::in);
    if (here == std::streampos(-1)) return -1;
    const std::streampos end = buffer->pubseekoff(0, std::ios::end, std::ios::in);
    buffer->pubseekpos(here, std::ios::in);
    if (end == std::streampos(-1) || end < here) return -1;
    return static_cast<int64_t>(end - here);
}

// Reads up to length bytes into target (which must offer resize(int) and a
// writable data()), growing it only as far as the stream can deliver. A
// shortfall leaves the stream failed, as a plain read of the full length would.
template <class Target, class DataFn>
void readBounded(std::istream& in, int32_t length, Target& target, DataFn dataOf) {
    const int64_t remaining = remainingBytes(in);
    int64_t wanted = length;
    if (remaining >= 0) wanted = std::min<int64_t>(wanted, remaining);
    const int64_t step = remaining >= 0 ? std::max<int64_t>(wanted, 1) : kReadStep;
    int64_t got = 0;
    while (got < wanted) {
        const int64_t chunk = std::min<int64_t>(step, wanted - got);
        target.resize(static_cast<int>(got + chunk));
        in.read(dataOf(target) + got, static_cast<std::streamsize>(chunk));
        got += static_cast<int64_t>(in.gcount());
        if (in.gcount() < chunk) break;
    }
    target.resize(static_cast<int>(got));
    if (got < length) in.setstate(std::ios::eofbit | std::ios::failbit);
}

// A length prefix read as the shared reading steps require: 0 when the read
// fails, and nothing further is read unless the stream is still usable.
int32_t readLength(std::istream& in) {
    int32_t length = 0;
    readInt32(in, length);
    return in.fail() ? 0 : length;
}

}  // namespace

void encodeInt32(char* out, int32_t value) {
    const uint32_t bits = static_cast<uint32_t>(value);
    out[0] = static_cast<char>(bits & 0xFF);
    out[1] = static_cast<char>((bits >> 8) & 0xFF);
    out[2] = static_cast<char>((bits >> 16) & 0xFF);
    out[3] = static_cast<char>((bits >> 24) & 0xFF);
}

int32_t decodeInt32(const char* in) {
    const auto byte = [in](int i) { return static_cast<uint32_t>(static_cast<unsigned char>(in[i])); };
    return static_cast<int32_t>(byte(0) | (byte(1) << 8) | (byte(2) << 16) | (byte(3) << 24));
}

void writeInt32(std::ostream& out, int32_t value) {
    char bytes[4];
    encodeInt32(bytes, value);
    out.write(bytes, sizeof bytes);
}

void writeText(std::ostream& out, const std::string& text) {
    const int32_t length = static_cast<int32_t>(text.size());
    writeInt32(out, length);
    if (length > 0) out.write(text.data(), length);
}

void writeBytes(std::ostream& out, const NQByteArray& bytes) {
    const int32_t length = bytes.size();
    writeInt32(out, length);
    if (length > 0) out.write(bytes.constData(), length);
}

bool readInt32(std::istream& in, int32_t& value) {
    char bytes[4];
    in.read(bytes, sizeof bytes);
    if (in.gcount() != static_cast<std::streamsize>(sizeof bytes)) return false;
    value = decodeInt32(bytes);
    return true;
}

void readText(std::istream& in, std::string& text) {
    text.clear();
    const int32_t length = readLength(in);
    if (length <= 0) return;
    readBounded(in, length, text, [](std::string& s) { return &s[0]; });
}

void readBytes(std::istream& in, NQByteArray& bytes) {
    bytes.clear();
    const int32_t length = readLength(in);
    if (length <= 0) return;
    readBounded(in, length, bytes, [](NQByteArray& b) { return b.getData(); });
}

void reportAttachment::write(std::ostream& out) const {
    writeText(out, name);
    writeText(out, text);
    writeBytes(out, data);
}

void reportAttachment::read(std::istream& in) {
    readText(in, name);
    readText(in, text);
    readBytes(in, data);
}

void writeAttachmentList(std::ostream& out, const std::list<reportAttachment>& items) {
    writeInt32(out, static_cast<int32_t>(items.size()));
    for (const reportAttachment& item : items) item.write(out);
}

void readAttachmentList(std::istream& in, std::list<reportAttachment>& items) {
    int32_t count = 0;
    if (!in.fail()) readInt32(in, count);
    // A damaged count can claim two billion items: stop as soon as the data
    // runs out instead of appending empty ones for the rest of it.
    for (; count > 0 && !in.fail(); --count) {
        if (in.peek() == std::char_traits<char>::eof()) {
            in.setstate(std::ios::failbit);
            break;
        }
        items.emplace_back();
        items.back().read(in);
    }
}

void logHeader::write(std::ostream& out) const {
    writeInt32(out, magic);
    writeInt32(out, total);
    writeInt32(out, index);
    writeInt32(out, position);
    writeInt32(out, fileSize);
}

void logHeader::read(std::istream& in) {
    readInt32(in, magic);
    readInt32(in, total);
    readInt32(in, index);
    readInt32(in, position);
    readInt32(in, fileSize);
}

void logSegment::write(std::ostream& out) const {
    writeInt32(out, length);
    writeInt32(out, sequence);
    writeInt32(out, type);
    writeInt32(out, static_cast<int32_t>(writeTime));
}

void logSegment::read(std::istream& in) {
    readInt32(in, length);
    readInt32(in, sequence);
    readInt32(in, type);
    int32_t time = static_cast<int32_t>(writeTime);
    readInt32(in, time);
    writeTime = static_cast<uint32_t>(time);
}

void errLogInfo::write(std::ostream& out) const { writeBytes(out, data); }

void errLogInfo::read(std::istream& in) { readBytes(in, data); }

void detailLogInfo::write(std::ostream& out) const {
    writeInt32(out, confId);
    writeText(out, filename);
    writeBytes(out, data);
}

void detailLogInfo::read(std::istream& in) {
    readInt32(in, confId);
    readText(in, filename);
    readBytes(in, data);
}

void FatalLogInfo::write(std::ostream& out) const {
    writeText(out, version);
    writeInt32(out, conferenceID);
    writeInt32(out, userID);
    writeText(out, client);
    writeText(out, clientIP);
    writeText(out, logDate);
    writeText(out, content);
    writeBytes(out, data);
}

void FatalLogInfo::read(std::istream& in) {
    readText(in, version);
    readInt32(in, conferenceID);
    readInt32(in, userID);
    readText(in, client);
    readText(in, clientIP);
    readText(in, logDate);
    readText(in, content);
    readBytes(in, data);
}

void userReport::write(std::ostream& out) const {
    writeText(out, version);
    writeInt32(out, conferenceID);
    writeInt32(out, userID);
    writeText(out, client);
    writeText(out, clientIP);
    writeText(out, reportDate);
    writeText(out, contact);
    writeText(out, content);
    writeAttachmentList(out, attachments);
}

void userReport::read(std::istream& in) {
    readText(in, version);
    readInt32(in, conferenceID);
    readInt32(in, userID);
    readText(in, client);
    readText(in, clientIP);
    readText(in, reportDate);
    readText(in, contact);
    readText(in, content);
    readAttachmentList(in, attachments);
}

const char* segmentTypeName(int32_t type) {
    switch (type) {
    case segErrLog: return "errLog";
    case segDetailLog: return "detailLog";
    case segUserReport: return "userReport";
    case segDumpLog: return "dumpLog";
    default: return "unknown";
    }
}

bool segmentIsCurrent(int32_t type, uint32_t writeTime, int64_t now) {
    const int64_t written = static_cast<int64_t>(writeTime);
    const int64_t maxAge = type == segDetailLog ? kDetailLogMaxAgeSec : kOtherSegMaxAgeSec;
    return now - written <= maxAge && written <= now + kMaxFutureSkewSec;
}

}  // namespace NQBase
