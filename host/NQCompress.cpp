#include "NQCompress.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <utility>

#include "detail/compressBackends.h"

namespace NQBase {

namespace {

constexpr int kDefaultLevel = 6;
constexpr int kMaxLevel = 9;  // zlib's range; libdeflate's 10 to 12 are not offered
// The first output buffer of zlib_uncompress; it doubles from there as needed.
constexpr int64_t kFirstOutputCap = 1 << 20;

// Maps -1 to the default; false for a level outside zlib's range.
bool normaliseLevel(int& level) {
    if (level == Z_DEFAULT_COMPRESSION) level = kDefaultLevel;
    return level >= 0 && level <= kMaxLevel;
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};
using CompressorPtr = std::unique_ptr<libdeflate_compressor, CompressorDeleter>;

// A compressor holds several hundred KiB of tables: allocate one per thread
// and level, once, instead of once per call. Freed when the thread ends.
libdeflate_compressor* threadCompressor(int level) {
    thread_local std::array<CompressorPtr, kMaxLevel + 1> compressors;
    CompressorPtr& slot = compressors[static_cast<size_t>(level)];
    if (!slot) slot.reset(libdeflate_alloc_compressor(level));
    return slot.get();
}

}  // namespace

namespace detail {

int zlibBackendCompress(const NQByteArray& in, NQByteArray& out, int level) {
    if (!normaliseLevel(level)) return Z_STREAM_ERROR;
    const uLong bound = compressBound(static_cast<uLong>(in.size()));
    if (bound > static_cast<uLong>(INT_MAX)) return Z_BUF_ERROR;
    NQByteArray result;
    result.resize(static_cast<int>(bound));
    uLongf produced = bound;
    const int code = compress2(reinterpret_cast<Bytef*>(result.getData()), &produced,
                               reinterpret_cast<const Bytef*>(in.constData()), static_cast<uLong>(in.size()), level);
    if (code != Z_OK) return code;
    result.resize(static_cast<int>(produced));
    out = std::move(result);
    return Z_OK;
}

int libdeflateBackendCompress(const NQByteArray& in, NQByteArray& out, int level) {
    if (!normaliseLevel(level)) return Z_STREAM_ERROR;
    libdeflate_compressor* compressor = threadCompressor(level);
    if (compressor == nullptr) return Z_MEM_ERROR;
    const size_t bound = libdeflate_zlib_compress_bound(compressor, static_cast<size_t>(in.size()));
    if (bound > static_cast<size_t>(INT_MAX)) return Z_BUF_ERROR;
    NQByteArray result;
    result.resize(static_cast<int>(bound));
    const size_t produced =
        libdeflate_zlib_compress(compressor, in.constData(), static_cast<size_t>(in.size()), result.getData(), bound);
    if (produced == 0) return Z_BUF_ERROR;  // cannot happen with the bound, but says so if it does
    result.resize(static_cast<int>(produced));
    out = std::move(result);
    return Z_OK;
}

}  // namespace detail

// libdeflate compresses the benchmark's log text (bench/compress_bench.cpp)
// faster than zlib at level 6 and slightly smaller; both give zlib streams.
int zlib_compress(const NQByteArray& in, NQByteArray& out, int level) {
    return detail::libdeflateBackendCompress(in, out, level);
}

const char* zlib_compressorName() { return "libdeflate"; }

int zlib_uncompress(const NQByteArray& in, NQByteArray& out, int64_t maxOut) {
    const int64_t limit = std::clamp<int64_t>(maxOut, 0, INT_MAX);
    z_stream stream{};
    int code = inflateInit(&stream);
    if (code != Z_OK) return code;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.constData()));
    stream.avail_in = static_cast<uInt>(in.size());

    // Grow by doubling from a guess, never past the limit; the stream's own
    // claims about its size are not trusted.
    NQByteArray result;
    int64_t capacity = 0;
    unsigned char probe = 0;
    bool probing = false;  // the limit is reached: any further byte is too many
    for (;;) {
        if (stream.avail_out == 0) {
            if (probing) {
                code = Z_BUF_ERROR;
                break;
            }
            if (capacity == limit) {
                probing = true;
                stream.next_out = &probe;
                stream.avail_out = 1;
            } else {
                const int64_t firstGuess = std::clamp<int64_t>(int64_t(in.size()) * 4, 4096, kFirstOutputCap);
                const int64_t guess = capacity == 0 ? firstGuess : capacity * 2;
                capacity = std::min(limit, guess);
                result.resize(static_cast<int>(capacity));
                stream.next_out = reinterpret_cast<Bytef*>(result.getData()) + stream.total_out;
                stream.avail_out = static_cast<uInt>(capacity - static_cast<int64_t>(stream.total_out));
            }
        }
        code = inflate(&stream, Z_NO_FLUSH);
        if (code == Z_STREAM_END) {
            code = probing && stream.avail_out == 0 ? Z_BUF_ERROR : Z_OK;
            break;
        }
        if (code == Z_OK || (code == Z_BUF_ERROR && stream.avail_out == 0)) continue;
        // No progress with output room left: the input ended inside the stream.
        if (code == Z_BUF_ERROR || code == Z_NEED_DICT) code = Z_DATA_ERROR;
        break;
    }
    const int64_t produced = static_cast<int64_t>(stream.total_out);
    inflateEnd(&stream);
    if (code != Z_OK) return code;
    result.resize(static_cast<int>(produced));
    out = std::move(result);
    return Z_OK;
}

}  // namespace NQBase
