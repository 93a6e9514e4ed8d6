// Inflates a request's zlib (or gzip) data piece by piece, so that the
// server never holds more than one buffer of inflated bytes per request.
//
// Most requests are a client's detail pieces: zlib streams that inflate to
// about 60 KiB. Those are inflated in one call by libdeflate (three times as
// fast as zlib's inflate, and inflating is most of what a command costs the
// server) into a buffer of at most kWholeBytes, and handed out from there. Any
// other outcome (more than that, gzip framing, damage, bytes after the stream)
// inflates again with zlib from the start, so that what a damaged or hostile
// request yields, and why it is refused, do not depend on the fast path.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace logserver {

class InflateStream {
public:
    enum class Status { Data, End, Malformed, TooLarge };

    // data must outlive the stream; more than cap inflated bytes is TooLarge.
    InflateStream(const unsigned char* data, size_t size, uint64_t cap);
    ~InflateStream();
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    // Fills out with up to room bytes. Data: got > 0 bytes, call again;
    // End: the stream ended cleanly and nothing followed it (got may be 0).
    Status read(char* out, size_t room, size_t& got);

    uint64_t total() const { return total_; }
    // Whether the whole stream was inflated in one call (tests).
    bool inflatedWhole() const { return whole_ != nullptr; }
    // Why the last read failed, worded for the index.
    std::string reason() const;

    static constexpr size_t kWholeBytes = size_t(1) << 20;

private:
    bool inflateWhole(const unsigned char* data);

    std::unique_ptr<char[]> whole_;  // the inflated stream, when inflateWhole succeeded
    size_t wholeSize_ = 0;
    size_t wholeRead_ = 0;
    z_stream zs_{};
    bool initOk_ = false;
    bool ended_ = false;
    Status failure_ = Status::Data;
    uint64_t cap_;
    uint64_t total_ = 0;
    size_t size_;
    bool trailing_ = false;
};

// Inflates everything into memory, for callers whose data is small by
// contract (tests, the fuzz target); cap bounds it all the same.
InflateStream::Status inflateAll(const unsigned char* data, size_t size, uint64_t cap, std::string& out);

}  // namespace logserver
