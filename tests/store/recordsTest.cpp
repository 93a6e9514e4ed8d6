// The records' byte format: golden encodings, round trips, and reads of
// damaged bytes that must neither trust a length nor run on past a failure.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <sstream>

#include "store/reportRecords.h"

// The replacements below pair malloc with free; gcc cannot see that through
// the inlined operators and warns about a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// The largest single allocation made while a test runs: a reader that sized a
// buffer from a lying length prefix shows up here.
static std::atomic<size_t> largestAllocation{0};

void* operator new(size_t size) {
    size_t seen = largestAllocation.load();
    while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace NQBase;

template <class Record>
std::string encode(const Record& record) {
    std::ostringstream out;
    record.write(out);
    return out.str();
}

template <class Record>
Record decode(const std::string& bytes) {
    std::istringstream in(bytes);
    Record record;
    record.read(in);
    return record;
}

std::string int32s(std::initializer_list<int32_t> values) {
    std::ostringstream out;
    for (int32_t v : values) writeInt32(out, v);
    return out.str();
}

// A stream that cannot seek, like a pipe: its end is unknown to the reader.
class PipeBuf : public std::streambuf {
public:
    explicit PipeBuf(std::string bytes) : bytes_(std::move(bytes)) { setg(&bytes_[0], &bytes_[0], &bytes_[0] + bytes_.size()); }

private:
    std::string bytes_;
};

FatalLogInfo sampleDump() {
    FatalLogInfo dump;
    dump.version = std::string("1.2\0b", 5);
    dump.conferenceID = -7;
    dump.userID = 42;
    dump.client = "pc";
    dump.clientIP = "10.0.0.1";
    dump.logDate = "2024-01-01";
    dump.content = "code\naddr\n";
    dump.data = NQByteArray(std::string("\0\1\2zz", 5));
    return dump;
}

TEST(RecordBytes, GoldenEncodings) {
    EXPECT_EQ(encode(logHeader::fresh()), std::string("\x03\x10\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x14\0\0\0", 20));
    logSegment seg;
    seg.length = 0x11223344;
    seg.sequence = 1;
    seg.type = segDumpLog;
    seg.writeTime = 0xFFFFFFFEu;
    EXPECT_EQ(encode(seg), std::string("\x44\x33\x22\x11\1\0\0\0\3\0\0\0\xFE\xFF\xFF\xFF", 16));
    EXPECT_EQ(encode(errLogInfo()), std::string(4, '\0'));
    EXPECT_EQ(encode(userReport()), std::string(36, '\0'));
    detailLogInfo detail;
    detail.confId = -2;
    detail.filename = "ab";
    detail.data = NQByteArray(std::string("\0x", 2));
    EXPECT_EQ(encode(detail), std::string("\xFE\xFF\xFF\xFF\2\0\0\0ab\2\0\0\0\0x", 16));
}

TEST(RecordBytes, EveryRecordReadsBackUnchanged) {
    const FatalLogInfo dump = sampleDump();
    const FatalLogInfo dumpBack = decode<FatalLogInfo>(encode(dump));
    EXPECT_EQ(dumpBack.version, dump.version);  // zero byte carried whole
    EXPECT_EQ(dumpBack.conferenceID, -7);
    EXPECT_EQ(dumpBack.userID, 42);
    EXPECT_EQ(encode(dumpBack), encode(dump));

    userReport report;
    report.version = "v";
    report.conferenceID = 3;
    report.userID = 4;
    report.client = "c";
    report.reportDate = "d";
    report.contact = "me";
    report.content = std::string("x\0y", 3);
    report.attachments.push_back({"a.txt", "first", NQByteArray(std::string("\0\0", 2))});
    report.attachments.push_back({"b", "", NQByteArray()});
    const userReport reportBack = decode<userReport>(encode(report));
    ASSERT_EQ(reportBack.attachments.size(), 2u);
    EXPECT_EQ(reportBack.attachments.front().data.size(), 2);
    EXPECT_EQ(reportBack.attachments.back().name, "b");
    EXPECT_EQ(encode(reportBack), encode(report));

    detailLogInfo detail;
    detail.confId = 12345;
    detail.filename = "f.log";
    detail.data = NQByteArray(std::string(70000, '\x80'));
    EXPECT_EQ(encode(decode<detailLogInfo>(encode(detail))), encode(detail));

    logHeader header = logHeader::fresh();
    header.total = 9;
    header.index = 8;
    header.position = 300;
    EXPECT_EQ(encode(decode<logHeader>(encode(header))), encode(header));
}

TEST(RecordDamage, CutStreamKeepsWhatWasThere) {
    const std::string bytes = encode(sampleDump());
    // version (4+5), two ints (8), then "pc" cut after its first byte
    std::istringstream in(bytes.substr(0, 4 + 5 + 8 + 4 + 1));
    FatalLogInfo dump;
    dump.read(in);
    EXPECT_TRUE(in.fail());
    EXPECT_EQ(dump.version.size(), 5u);
    EXPECT_EQ(dump.userID, 42);
    EXPECT_EQ(dump.client, "p");
    EXPECT_EQ(dump.clientIP, "");
    EXPECT_EQ(dump.content, "");
    EXPECT_TRUE(dump.data.isEmpty());

    userReport report = decode<userReport>(int32s({1}) + "v");  // cut before the ints
    EXPECT_EQ(report.version, "v");
    EXPECT_EQ(report.conferenceID, 0);
    EXPECT_TRUE(report.attachments.empty());
}

TEST(RecordDamage, NegativeLengthsAndCountsReadAsEmpty) {
    const detailLogInfo detail = decode<detailLogInfo>(int32s({5, -3, 2}) + "xy");
    EXPECT_EQ(detail.filename, "");
    EXPECT_EQ(detail.data.toStdString(), "xy");

    std::istringstream in(int32s({-1}));
    std::list<reportAttachment> items(1);
    readAttachmentList(in, items);
    EXPECT_EQ(items.size(), 1u);  // the list is not emptied, nothing added
}

TEST(RecordDamage, HugeLengthAllocatesOnlyWhatIsPresent) {
    const std::string bytes = int32s({0x7FFFFFFF}) + "abc";
    largestAllocation = 0;
    const errLogInfo seekable = decode<errLogInfo>(bytes);
    PipeBuf pipe(bytes);
    std::istream piped(&pipe);
    errLogInfo fromPipe;
    fromPipe.read(piped);
    EXPECT_LT(largestAllocation.load(), size_t(4) << 20);
    EXPECT_EQ(seekable.data.toStdString(), "abc");
    EXPECT_EQ(fromPipe.data.toStdString(), "abc");
    EXPECT_TRUE(piped.fail());
}

TEST(RecordDamage, HugeAttachmentCountStopsAtTheData) {
    reportAttachment item{"n", "t", NQByteArray(std::string("d"))};
    std::ostringstream out;
    writeInt32(out, 0x7FFFFFFF);
    item.write(out);
    std::istringstream in(out.str());
    std::list<reportAttachment> items;
    readAttachmentList(in, items);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.front().text, "t");
}

TEST(RecordNames, SegmentTypes) {
    EXPECT_STREQ(segmentTypeName(segDetailLog), "detailLog");
    EXPECT_STREQ(segmentTypeName(segDumpLog), "dumpLog");
    EXPECT_STREQ(segmentTypeName(7), "unknown");
    EXPECT_STREQ(segmentTypeName(-1), "unknown");
}

}  // namespace
