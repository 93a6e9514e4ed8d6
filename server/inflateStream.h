// Inflates a request's zlib (or gzip) data piece by piece, so that the
// server never holds more than one buffer of inflated bytes per request.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
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
    // Why the last read failed, worded for the index.
    std::string reason() const;

private:
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
