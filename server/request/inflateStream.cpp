#include "inflateStream.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>

namespace logserver {

namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// A decompressor is small (about 10 KiB) but not free to make: one per thread.
libdeflate_decompressor* threadDecompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
    return d.get();
}

}  // namespace

InflateStream::InflateStream(const unsigned char* data, size_t size, uint64_t cap) : cap_(cap), size_(size) {
    if (size == 0) return;
    if (inflateWhole(data)) return;
    initOk_ = inflateInit2(&zs_, 15 + 32) == Z_OK;  // zlib or gzip framing
    zs_.next_in = const_cast<Bytef*>(data);
    zs_.avail_in = 0;
}

InflateStream::~InflateStream() {
    if (initOk_) inflateEnd(&zs_);
}

// Only a clean zlib stream that fills the data exactly and inflates to at most
// the cap and kWholeBytes is taken; anything else is left to zlib.
bool InflateStream::inflateWhole(const unsigned char* data) {
    libdeflate_decompressor* d = threadDecompressor();
    if (d == nullptr) return false;
    const size_t room = static_cast<size_t>(std::min<uint64_t>(cap_, kWholeBytes));
    std::unique_ptr<char[]> out(new char[room > 0 ? room : 1]);
    size_t used = 0;
    size_t produced = 0;
    if (libdeflate_zlib_decompress_ex(d, data, size_, out.get(), room, &used, &produced) != LIBDEFLATE_SUCCESS ||
        used != size_)
        return false;
    whole_ = std::move(out);
    wholeSize_ = produced;
    return true;
}

InflateStream::Status InflateStream::read(char* out, size_t room, size_t& got) {
    got = 0;
    if (whole_) {
        got = std::min(room, wholeSize_ - wholeRead_);
        if (got > 0) std::memcpy(out, whole_.get() + wholeRead_, got);
        wholeRead_ += got;
        total_ += got;
        return got > 0 ? Status::Data : Status::End;
    }
    if (failure_ != Status::Data) return failure_;
    if (!initOk_) return failure_ = Status::Malformed;
    if (ended_) return Status::End;
    // zlib counts in uInt: the input is fed in slices it can take.
    room = std::min<size_t>(room, 1u << 30);
    zs_.next_out = reinterpret_cast<Bytef*>(out);
    zs_.avail_out = static_cast<uInt>(room);
    while (zs_.avail_out > 0) {
        if (zs_.avail_in == 0) {
            const uint64_t left = size_ - zs_.total_in;
            if (left == 0) break;
            zs_.avail_in = static_cast<uInt>(std::min<uint64_t>(left, 1u << 30));
        }
        const int rc = inflate(&zs_, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            ended_ = true;
            trailing_ = zs_.total_in < size_;
            break;
        }
        if (rc != Z_OK) {
            got = 0;
            return failure_ = Status::Malformed;
        }
    }
    got = room - zs_.avail_out;
    total_ += got;
    if (total_ > cap_) return failure_ = Status::TooLarge;
    if (ended_) {
        if (trailing_) return failure_ = Status::Malformed;
        return got > 0 ? Status::Data : Status::End;
    }
    if (got == 0) return failure_ = Status::Malformed;  // input ran out before the stream's end
    return Status::Data;
}

std::string InflateStream::reason() const {
    switch (failure_) {
        case Status::TooLarge: return "inflated data exceeds " + std::to_string(cap_) + " bytes";
        case Status::Malformed:
            return trailing_ ? "data continues after the end of the compressed stream" : "data does not inflate";
        default: return {};
    }
}

InflateStream::Status inflateAll(const unsigned char* data, size_t size, uint64_t cap, std::string& out) {
    out.clear();
    InflateStream in(data, size, cap);
    char buf[64 * 1024];
    for (;;) {
        size_t got = 0;
        auto st = in.read(buf, sizeof buf, got);
        out.append(buf, got);
        if (st != InflateStream::Status::Data) {
            if (st != InflateStream::Status::End) out.clear();
            return st;
        }
    }
}

}  // namespace logserver
