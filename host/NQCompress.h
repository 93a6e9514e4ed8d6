// zlib-format compression (RFC 1950): what zlib_compress produces inflates
// with standard zlib.
#pragma once

#include "NQByteArray.h"
#include "NQPlatform.h"

namespace NQBase {

// The level everything is compressed at, and what a level of -1 stands for.
constexpr int kDefaultCompressLevel = 6;

// Compresses in into out (replaced). Returns 0 on success, else an error code.
NQHOST_API int zlib_compress(const NQByteArray& in, NQByteArray& out, int level);
// Inflates a zlib stream. Returns 0 on success, else an error code. maxOut
// bounds the output (a lying stream cannot exhaust memory).
NQHOST_API int zlib_uncompress(const NQByteArray& in, NQByteArray& out, int64_t maxOut = (int64_t(1) << 31) - 1);
// zlib_compress's signature, for code that lets a test substitute a compressor.
using compressFn = int (*)(const NQByteArray& in, NQByteArray& out, int level);
// Which compressor zlib_compress uses ("libdeflate" or "zlib").
NQHOST_API const char* zlib_compressorName();

}  // namespace NQBase
