#include "NQCompress.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "detail/compressBackends.h"

namespace NQBase {

namespace {

constexpr int kMaxLevel = 9;  // zlib's range; libdeflate's 10 to 12 are not offered
// The first output buffer of zlib_uncompress; it doubles from there as needed.
constexpr int64_t kFirstOutputCap = 1 << 20;

// Maps -1 to the default; false for a level outside zlib's range.
bool normaliseLevel(int& level) {
    if (level == Z_DEFAULT_COMPRESSION) level = kDefaultCompressLevel;
    return level >= 0 && level <= kMaxLevel;
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};
using CompressorPtr = std::unique_ptr<libdeflate_compressor, CompressorDeleter>;

// Output of a compression whose bound is at most this goes through the
// compressor's own scratch buffer, then out at its real size: a detail piece
// compresses to about a quarter of its bound, and zero-filling a fresh buffer
// of the whole bound for each piece cost more than compressing into one that
// stays. Larger inputs (a pass's error text) are rare and get a buffer of
// their own, so that no idle compressor holds megabytes.
constexpr size_t kScratchBytes = size_t(256) << 10;

// A compressor and its scratch buffer.
struct PooledCompressor {
    CompressorPtr compressor;
    std::unique_ptr<char[]> scratch;  // kScratchBytes, allocated at first use, not zero-filled
};

// A compressor holds several hundred KiB of tables: allocate them once, not
// once per call. Idle compressors wait in a process-wide pool per level, not in
// thread_local storage: the MinGW-w64 runtime frees thread_local storage before
// running its destructors at thread exit, and the library's threads must not
// depend on that order. A pool holds at most as many compressors as threads
// ever compressed at once at that level.
class CompressorPool {
public:
    PooledCompressor take(int level) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto& idle = idle_[static_cast<size_t>(level)];
            if (!idle.empty()) {
                PooledCompressor compressor = std::move(idle.back());
                idle.pop_back();
                return compressor;
            }
        }
        return PooledCompressor{CompressorPtr(libdeflate_alloc_compressor(level)), nullptr};
    }
    void give(int level, PooledCompressor compressor) {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_[static_cast<size_t>(level)].push_back(std::move(compressor));
    }

private:
    std::mutex mutex_;
    std::array<std::vector<PooledCompressor>, kMaxLevel + 1> idle_;
};

CompressorPool& compressorPool() {
    static CompressorPool* pool = new CompressorPool;  // never destroyed: threads may compress during exit
    return *pool;
}

// A compressor taken from the pool for one call and given back after it.
class CompressorLease {
public:
    explicit CompressorLease(int level) : level_(level), held_(compressorPool().take(level)) {}
    ~CompressorLease() {
        if (held_.compressor) compressorPool().give(level_, std::move(held_));
    }
    CompressorLease(const CompressorLease&) = delete;
    CompressorLease& operator=(const CompressorLease&) = delete;
    libdeflate_compressor* get() const { return held_.compressor.get(); }
    char* scratch() {
        if (!held_.scratch) held_.scratch.reset(new char[kScratchBytes]);
        return held_.scratch.get();
    }

private:
    const int level_;
    PooledCompressor held_;
};

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
    CompressorLease compressor(level);
    if (compressor.get() == nullptr) return Z_MEM_ERROR;
    const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), static_cast<size_t>(in.size()));
    if (bound > static_cast<size_t>(INT_MAX)) return Z_BUF_ERROR;
    if (bound <= kScratchBytes) {
        char* scratch = compressor.scratch();
        const size_t produced =
            libdeflate_zlib_compress(compressor.get(), in.constData(), static_cast<size_t>(in.size()), scratch, bound);
        if (produced == 0) return Z_BUF_ERROR;  // cannot happen with the bound, but says so if it does
        out = NQByteArray(scratch, static_cast<int>(produced));
        return Z_OK;
    }
    NQByteArray result;
    result.reserve(static_cast<int>(bound));
    result.resize(static_cast<int>(bound));
    const size_t produced =
        libdeflate_zlib_compress(compressor.get(), in.constData(), static_cast<size_t>(in.size()), result.getData(), bound);
    if (produced == 0) return Z_BUF_ERROR;
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
