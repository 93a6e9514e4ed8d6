#include "inflateStream.h"

#include <algorithm>

namespace logserver {

InflateStream::InflateStream(const unsigned char* data, size_t size, uint64_t cap) : cap_(cap), size_(size) {
    if (size == 0) return;
    initOk_ = inflateInit2(&zs_, 15 + 32) == Z_OK;  // zlib or gzip framing
    zs_.next_in = const_cast<Bytef*>(data);
    zs_.avail_in = 0;
}

InflateStream::~InflateStream() {
    if (initOk_) inflateEnd(&zs_);
}

InflateStream::Status InflateStream::read(char* out, size_t room, size_t& got) {
    got = 0;
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
