// The records' byte format: golden encodings, round trips, and reads of
// damaged bytes that must neither trust a length nor run on past a failure.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <sstream>

#include "store/reportRecords.h"

// The replacements pair malloc with free; gcc cannot see that through the inlined operators.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// The largest single allocation: a reader that trusts a lying length prefix shows up here.
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

std::string text(const std::string& bytes) { return int32s({static_cast<int32_t>(bytes.size())}) + bytes; }

// A stream that cannot seek, like a pipe: its end is unknown to the reader.
struct PipeBuf : std::streambuf {
    explicit PipeBuf(std::string& bytes) { setg(&bytes[0], &bytes[0], &bytes[0] + bytes.size()); }
};

// Every field holds a distinct value, so a reader that swaps or skips one re-encodes differently.
const std::string kDump = text(std::string("1.2\0b", 5)) + int32s({-7, 42}) + text("pc") + text("10.0.0.1") +
                          text("2024-01-01") + text("code\naddr\n") + text(std::string("\0\1z", 3));

TEST(RecordBytes, GoldenEncodingsAndEveryRecordReadsBackUnchanged) {
    EXPECT_EQ(encode(logHeader::fresh()), std::string("\x03\x10\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x14\0\0\0", 20));
    EXPECT_EQ(encode(errLogInfo()), std::string(4, '\0'));
    EXPECT_EQ(encode(userReport()), std::string(36, '\0'));
    logSegment seg;
    seg.length = 0x11223344;
    seg.sequence = 1;
    seg.type = segDumpLog;
    seg.writeTime = 0xFFFFFFFEu;
    EXPECT_EQ(encode(seg), std::string("\x44\x33\x22\x11\1\0\0\0\3\0\0\0\xFE\xFF\xFF\xFF", 16));
    detailLogInfo detail;
    detail.confId = -2;
    detail.filename = "ab";
    detail.data = NQByteArray(std::string("\0x", 2));
    EXPECT_EQ(encode(detail), std::string("\xFE\xFF\xFF\xFF\2\0\0\0ab\2\0\0\0\0x", 16));

    const std::string user = text("v") + int32s({3, 4}) + text("c") + text("i") + text("d") + text("me") +
                             text(std::string("x\0y", 3)) + int32s({2}) + text("a.txt") + text("first") +
                             text(std::string(70000, '\x80')) + text("b") + text("") + text("");
    EXPECT_EQ(encode(decode<userReport>(user)), user);
    EXPECT_EQ(encode(decode<FatalLogInfo>(kDump)), kDump);
    EXPECT_EQ(encode(decode<detailLogInfo>(encode(detail))), encode(detail));
    EXPECT_EQ(encode(decode<logSegment>(encode(seg))), encode(seg));
}

TEST(RecordDamage, CutStreamKeepsWhatWasThereAndNegativeLengthsReadAsEmpty) {
    // version (4+5), two ints (8), then "pc" cut after its first byte
    std::istringstream in(kDump.substr(0, 4 + 5 + 8 + 4 + 1));
    FatalLogInfo dump;
    dump.read(in);
    EXPECT_TRUE(in.fail());
    EXPECT_EQ(dump.userID, 42);
    EXPECT_EQ(dump.client, "p");
    EXPECT_EQ(dump.clientIP, "");
    EXPECT_TRUE(dump.data.isEmpty());
    const userReport report = decode<userReport>(text("v"));  // cut before the ints
    EXPECT_EQ(report.version, "v");
    EXPECT_EQ(report.conferenceID, 0);
    EXPECT_TRUE(report.attachments.empty());

    const detailLogInfo negative = decode<detailLogInfo>(int32s({5, -3}) + text("xy"));
    EXPECT_EQ(negative.filename, "");
    EXPECT_EQ(negative.data.toStdString(), "xy");
    std::istringstream count(int32s({-1}));
    std::list<reportAttachment> items(1);
    readAttachmentList(count, items);
    EXPECT_EQ(items.size(), 1u);  // the list is not emptied, nothing added
}

TEST(RecordDamage, HugeLengthsAndCountsAllocateOnlyWhatIsPresent) {
    std::string bytes = int32s({0x7FFFFFFF}) + "abc";
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

    std::istringstream in(int32s({0x7FFFFFFF}) + text("n") + text("t") + text("d"));
    std::list<reportAttachment> items;
    readAttachmentList(in, items);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.front().text, "t");
}

}  // namespace
