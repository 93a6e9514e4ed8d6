// InflateStream takes a small clean zlib stream in one call and everything else
// through zlib: whichever way, a reader that takes it a little at a time must
// get the same bytes, the same end and the same refusal.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "inflateStream.h"

using logserver::InflateStream;

namespace {

std::string zlibOf(const std::string& text, int windowBits = 15) {
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, static_cast<uLong>(text.size())) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    zs.avail_in = static_cast<uInt>(text.size());
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

struct Outcome {
    std::string bytes;
    InflateStream::Status last = InflateStream::Status::Data;
    std::string reason;
    bool whole = false;
};

// Reads in slices of 1000 bytes, as a store writer would in larger ones.
Outcome readAll(const std::string& data, uint64_t cap) {
    InflateStream in(reinterpret_cast<const unsigned char*>(data.data()), data.size(), cap);
    Outcome o;
    o.whole = in.inflatedWhole();
    char buf[1000];
    for (int guard = 0; guard < 100000; ++guard) {
        size_t got = 0;
        o.last = in.read(buf, sizeof buf, got);
        o.bytes.append(buf, got);
        if (o.last != InflateStream::Status::Data) break;
    }
    EXPECT_EQ(o.bytes.size(), in.total());
    o.reason = in.reason();
    return o;
}

std::string text(size_t n) {
    std::string s;
    for (size_t i = 0; s.size() < n; ++i) s += "2026-12-06 10:00:00.000 INFO [net] packet " + std::to_string(i * 7919 % 100003) + "\n";
    s.resize(n);
    return s;
}

}  // namespace

TEST(InflateStreamTest, WholeAndStreamedInflatesGiveTheSameBytesEndsAndRefusals) {
    const uint64_t cap = 4 << 20;
    const std::string piece = text(61440);
    Outcome o = readAll(zlibOf(piece), cap);
    EXPECT_TRUE(o.whole);
    EXPECT_EQ(piece, o.bytes);
    EXPECT_EQ(InflateStream::Status::End, o.last);

    o = readAll(zlibOf(""), cap);
    EXPECT_TRUE(o.whole);
    EXPECT_EQ("", o.bytes);
    EXPECT_EQ(InflateStream::Status::End, o.last);

    // Past the one-call buffer: zlib takes it, the bytes are the same.
    const std::string big = text(InflateStream::kWholeBytes + 1);
    o = readAll(zlibOf(big), cap);
    EXPECT_FALSE(o.whole);
    EXPECT_EQ(big, o.bytes);
    EXPECT_EQ(InflateStream::Status::End, o.last);

    // gzip framing is not libdeflate's zlib format: still accepted.
    o = readAll(zlibOf(piece, 15 + 16), cap);
    EXPECT_FALSE(o.whole);
    EXPECT_EQ(piece, o.bytes);
    EXPECT_EQ(InflateStream::Status::End, o.last);

    // Over the cap, even when it would fit the one-call buffer.
    o = readAll(zlibOf(piece), 1000);
    EXPECT_FALSE(o.whole);
    EXPECT_EQ(InflateStream::Status::TooLarge, o.last);
    EXPECT_EQ("inflated data exceeds 1000 bytes", o.reason);

    o = readAll(zlibOf(piece) + "tail", cap);
    EXPECT_FALSE(o.whole);
    EXPECT_EQ(InflateStream::Status::Malformed, o.last);
    EXPECT_EQ("data continues after the end of the compressed stream", o.reason);

    std::string damaged = zlibOf(piece);
    damaged[damaged.size() - 2] ^= 0x40;  // the checksum
    o = readAll(damaged, cap);
    EXPECT_FALSE(o.whole);
    EXPECT_EQ(InflateStream::Status::Malformed, o.last);
    EXPECT_EQ("data does not inflate", o.reason);

    o = readAll(zlibOf(piece).substr(0, 100), cap);
    EXPECT_FALSE(o.whole);
    EXPECT_EQ(InflateStream::Status::Malformed, o.last);
}
